#include "host/page_view.h"

#include <QInputDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QQmlComponent>
#include <QQmlEngine>
#include <QQuickItem>
#include <QQuickWindow>
#include <QStandardPaths>
#include <QVariantMap>
#include <QWebEngineDownloadRequest>
#include <QWidget>
#include <QtWebEngineQuick/QQuickWebEngineProfile>
#include <QtWebEngineQuick/QtWebEngineQuick>

namespace pelu::host {

namespace {

// The view reports through its host's signals; functions take untyped
// arguments so that C++ can call them with plain values.
constexpr char kViewQml[] = R"QML(
import QtQuick
import QtWebEngine

WebEngineView {
    required property QtObject host
    anchors.fill: parent
    profile: host.profile
    focus: true
    onUrlChanged: host.UrlChanged(url)
    onTitleChanged: host.TitleChanged(title)
    onLoadProgressChanged: host.LoadProgress(loadProgress)
    onLoadingChanged: function (info) {
        // The blank page a new window starts with, stopped when the page
        // that opened the window hands it its own.
        if (info.status === WebEngineView.LoadStoppedStatus && info.url.toString() === "")
            return
        if (info.status === WebEngineView.LoadStartedStatus)
            host.LoadStarted()
        else
            host.LoadFinished(info.status === WebEngineView.LoadSucceededStatus)
        host.NavigationChanged()
    }
    onCanGoBackChanged: host.NavigationChanged()
    onCanGoForwardChanged: host.NavigationChanged()
    onLinkHovered: function (hoveredUrl) { host.LinkHovered(hoveredUrl.toString()) }
    onRenderProcessTerminated: function (terminationStatus, exitCode) {
        host.RenderProcessTerminated(terminationStatus, exitCode)
    }
    onWindowCloseRequested: host.WindowCloseRequested()
    onNewWindowRequested: function (request) {
        const other = host.OpenWindowForPage()
        if (other)
            request.openIn(other)
    }
    onJavaScriptDialogRequested: function (request) {
        request.accepted = true
        host.ShowJavaScriptDialog(request)
    }
    onFindTextFinished: function (result) { host.FindFinished(result.numberOfMatches, result.activeMatch) }
    function find(text, backward) { findText(text, backward ? WebEngineView.FindBackward : 0) }
    function run(ticket, script) {
        runJavaScript(script, function (result) { host.JavaScriptDone(ticket, result) })
    }
}
)QML";

// Downloads of every page arrive at the one profile.
constexpr char kDownloadHookQml[] = R"QML(
import QtQml
import QtWebEngine

Connections {
    required property QtObject host
    function onDownloadRequested(download) { host.OnDownloadRequested(download, download.view) }
}
)QML";

} // namespace

// ---- what the pages share --------------------------------------------------------

void PageEngine::InitializeBeforeApplication()
{
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    QtWebEngineQuick::initialize();
}

PageEngine::PageEngine(QObject* parent) : QObject(parent), qml_(std::make_unique<QQmlEngine>())
{
    // A named profile keeps cookies, site storage and the cache on disk.
    profile_ = new QQuickWebEngineProfile(this);
    profile_->setStorageName(QStringLiteral("default"));
    profile_->setOffTheRecord(false);
    profile_->setPersistentStoragePath(QStandardPaths::writableLocation(QStandardPaths::AppDataLocation) +
                                       QStringLiteral("/profile"));
    profile_->setCachePath(QStandardPaths::writableLocation(QStandardPaths::CacheLocation) + QStringLiteral("/profile"));
    profile_->setPersistentCookiesPolicy(QQuickWebEngineProfile::AllowPersistentCookies);

    view_component_ = std::make_unique<QQmlComponent>(qml_.get());
    view_component_->setData(kViewQml, QUrl(QStringLiteral("qrc:/pelu/PageView.qml")));
    if (view_component_->isError())
        qFatal("The page view cannot be built: %s", qPrintable(view_component_->errorString()));

    QQmlComponent hook(qml_.get());
    hook.setData(kDownloadHookQml, QUrl(QStringLiteral("qrc:/pelu/DownloadHook.qml")));
    download_hook_ = hook.createWithInitialProperties(
        {{QStringLiteral("host"), QVariant::fromValue<QObject*>(this)},
         {QStringLiteral("target"), QVariant::fromValue<QObject*>(profile_)}});
    if (!download_hook_)
        qFatal("The download hook cannot be built: %s", qPrintable(hook.errorString()));
    download_hook_->setParent(this);
}

PageEngine::~PageEngine()
{
    // The hook and the component belong to the engine's world: they go first.
    delete download_hook_;
    view_component_.reset();
}

void PageEngine::OnDownloadRequested(QObject* download, QObject* view_item)
{
    // The Quick download object is the page engine's download request.
    if (auto* request = qobject_cast<QWebEngineDownloadRequest*>(download))
        emit DownloadRequested(request, view_item);
}

// ---- one page --------------------------------------------------------------------

PageView::PageView(PageEngine& engine, QWidget* parent) : QObject(parent), engine_(engine)
{
    window_ = new QQuickWindow();
    // The window container owns the window from here on.
    container_ = QWidget::createWindowContainer(window_, parent);
    container_->setObjectName(QStringLiteral("page"));
    container_->setFocusPolicy(Qt::StrongFocus);
    container_->setMinimumSize(1, 1);

    QQmlComponent& component = engine_.view_component();
    QObject* object = component.beginCreate(engine_.qml().rootContext());
    auto* item = qobject_cast<QQuickItem*>(object);
    if (!item)
        qFatal("The page view cannot be made: %s", qPrintable(component.errorString()));
    component.setInitialProperties(item, {{QStringLiteral("host"), QVariant::fromValue<QObject*>(this)}});
    item->setParent(window_);
    item->setParentItem(window_->contentItem());
    component.completeCreate();
    item_ = item;

    // Answers of scripts that RunJavaScript started, each to its own callback.
    connect(this, &PageView::JavaScriptDone, this, [this](int ticket, const QVariant& result) {
        auto it = scripts_running_.find(ticket);
        if (it == scripts_running_.end())
            return;
        auto done = std::move(it->second);
        scripts_running_.erase(it);
        done(result);
    });
}

PageView::~PageView()
{
    // The view goes before its host, so that none of its handlers runs
    // without one.
    delete item_;
}

QQuickWebEngineProfile* PageView::profile() const { return engine_.profile(); }

void PageView::Load(const QUrl& url) { item_->setProperty("url", url); }

void PageView::LoadHtml(const QString& html, const QUrl& base_url)
{
    QMetaObject::invokeMethod(item_, "loadHtml", Q_ARG(QString, html), Q_ARG(QUrl, base_url));
}

void PageView::Back() { QMetaObject::invokeMethod(item_, "goBack"); }
void PageView::Forward() { QMetaObject::invokeMethod(item_, "goForward"); }
void PageView::Reload() { QMetaObject::invokeMethod(item_, "reload"); }
void PageView::Stop() { QMetaObject::invokeMethod(item_, "stop"); }

void PageView::SetZoomFactor(double factor) { item_->setProperty("zoomFactor", factor); }

void PageView::FindText(const QString& text, bool backward)
{
    QMetaObject::invokeMethod(item_, "find", Q_ARG(QVariant, text), Q_ARG(QVariant, backward));
}

void PageView::RunJavaScript(const QString& script, std::function<void(const QVariant&)> done)
{
    const int ticket = next_ticket_++;
    scripts_running_[ticket] = std::move(done);
    QMetaObject::invokeMethod(item_, "run", Q_ARG(QVariant, ticket), Q_ARG(QVariant, script));
}

void PageView::Focus() { container_->setFocus(Qt::OtherFocusReason); }

QImage PageView::Grab() const { return window_->isExposed() ? window_->grabWindow() : QImage(); }

QUrl PageView::url() const { return item_->property("url").toUrl(); }
QString PageView::title() const { return item_->property("title").toString(); }
bool PageView::loading() const { return item_->property("loading").toBool(); }
bool PageView::can_go_back() const { return item_->property("canGoBack").toBool(); }
bool PageView::can_go_forward() const { return item_->property("canGoForward").toBool(); }

void PageView::ShowJavaScriptDialog(QObject* request)
{
    // The page waits for the answer; the dialog runs its own loop above the
    // browser window, as a dialog of the browser's own would.
    QPointer<QObject> asking(request);
    enum { Alert, Confirm, Prompt, BeforeUnload };
    const int type = request->property("type").toInt();
    const QString message = request->property("message").toString();
    const QString origin = request->property("securityOrigin").toUrl().toDisplayString();
    QWidget* above = container_->window();
    bool accepted = false;
    QString text;
    // What a page writes is shown as it is, never read as markup.
    auto ask = [above](QMessageBox::Icon icon, const QString& title, const QString& body,
                       QMessageBox::StandardButtons buttons, QMessageBox::StandardButton yes) {
        QMessageBox box(icon, title, body, buttons, above);
        box.setTextFormat(Qt::PlainText);
        return box.exec() == yes;
    };
    switch (type) {
    case Alert:
        ask(QMessageBox::Information, tr("JavaScript Alert - %1").arg(origin), message, QMessageBox::Ok,
            QMessageBox::Ok);
        accepted = true;
        break;
    case Confirm:
        accepted = ask(QMessageBox::Question, tr("JavaScript Confirm - %1").arg(origin), message,
                       QMessageBox::Ok | QMessageBox::Cancel, QMessageBox::Ok);
        break;
    case Prompt:
        text = QInputDialog::getText(above, tr("JavaScript Prompt - %1").arg(origin), message, QLineEdit::Normal,
                                     request->property("defaultText").toString(), &accepted);
        break;
    case BeforeUnload:
    default:
        accepted = ask(QMessageBox::Question, tr("Are you sure you want to leave this page?"),
                       tr("Changes that you made may not be saved."), QMessageBox::Yes | QMessageBox::No,
                       QMessageBox::Yes);
        break;
    }
    if (!asking)
        return; // the page went while the dialog was up
    if (!accepted)
        QMetaObject::invokeMethod(asking, "dialogReject");
    else if (type == Prompt)
        QMetaObject::invokeMethod(asking, "dialogAccept", Q_ARG(QString, text));
    else
        QMetaObject::invokeMethod(asking, "dialogAccept");
}

QObject* PageView::OpenWindowForPage() { return open_window_for_page ? open_window_for_page() : nullptr; }

} // namespace pelu::host
