// The page of a browser window, drawn in a window of its own.
//
// A widget window that holds a page view made of widgets is composed through
// OpenGL as a whole, at every repaint of any widget in it: on a machine without
// a GPU driver that is the software rasteriser redrawing the page for every
// step of the band's status line. So the page lives in a Qt Quick window (the
// page engine's Quick view), put into the browser window with a window
// container: the page is composed only when the page changes, and the band's
// repaints go to the X server as plain pixels of their own area.
//
// PageView gives that view a typed face. The Quick view reports to it through
// its signals, which the view's QML handlers emit; the view is driven through
// its properties and methods.
//
// PageEngine is what every page of the process shares: the QML engine, the
// page profile (cookies, site storage and cache kept on disk) and the hook
// that hands downloads to the session.
//
// Thread: main thread only.
#pragma once

#include <QImage>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QUrl>
#include <QVariant>
#include <QtWebEngineQuick/QQuickWebEngineProfile>

#include <functional>
#include <map>
#include <memory>

class QQmlComponent;
class QQmlEngine;
class QQuickWindow;
class QWebEngineDownloadRequest;
class QWidget;

namespace pelu::host {

class PageEngine : public QObject {
    Q_OBJECT

public:
    // The page engine's Quick side must be set up before the application object
    // exists; main() calls this first.
    static void InitializeBeforeApplication();

    explicit PageEngine(QObject* parent = nullptr);
    ~PageEngine() override;

    QQmlEngine& qml() { return *qml_; }
    QQuickWebEngineProfile* profile() const { return profile_; }
    QQmlComponent& view_component() { return *view_component_; }

    // Called from the profile's QML hook with the Quick download object
    // (public: QML calls only public methods).
    Q_INVOKABLE void OnDownloadRequested(QObject* download, QObject* view_item);

signals:
    // A page asked for a download; the receiver accepts or cancels it.
    void DownloadRequested(QWebEngineDownloadRequest* download, QObject* view_item);

private:

    std::unique_ptr<QQmlEngine> qml_;
    QQuickWebEngineProfile* profile_ = nullptr;
    std::unique_ptr<QQmlComponent> view_component_;
    QObject* download_hook_ = nullptr;
};

class PageView : public QObject {
    Q_OBJECT
    Q_PROPERTY(QQuickWebEngineProfile* profile READ profile CONSTANT)

public:
    // The page's window is put into a container widget, a child of `parent`.
    PageView(PageEngine& engine, QWidget* parent);
    ~PageView() override;

    QWidget* widget() const { return container_; }
    QQuickWindow* window() const { return window_; }
    QObject* item() const { return item_; }
    QQuickWebEngineProfile* profile() const;

    void Load(const QUrl& url);
    void LoadHtml(const QString& html, const QUrl& base_url);
    void Back();
    void Forward();
    void Reload();
    void Stop();
    void SetZoomFactor(double factor);
    // Marks every match and selects the next (or previous); FindFinished tells
    // how many there are. An empty text takes the marks away.
    void FindText(const QString& text, bool backward);
    // Runs `script` in the page; `done` gets its result (not called when the
    // view has gone by then).
    void RunJavaScript(const QString& script, std::function<void(const QVariant&)> done);
    // Keyboard focus to the page.
    void Focus();
    // The page as it is drawn now (empty when it cannot be read back).
    QImage Grab() const;

    QUrl url() const;
    QString title() const;
    bool loading() const;
    bool can_go_back() const;
    bool can_go_forward() const;

    // Opens the window that a page's script asks for and returns its view item
    // (null to refuse); set by the browser window.
    std::function<QObject*()> open_window_for_page;
    // Called from the view's QML when a page's script opens a window.
    Q_INVOKABLE QObject* OpenWindowForPage();
    // Called from the view's QML for a page's alert, confirm, prompt or
    // leave-page question.
    Q_INVOKABLE void ShowJavaScriptDialog(QObject* request);

signals:
    // Emitted by the view's QML handlers.
    void UrlChanged(const QUrl& url);
    void TitleChanged(const QString& title);
    void LoadStarted();
    void LoadProgress(int percent);
    void LoadFinished(bool ok);
    void NavigationChanged();
    // Empty when the pointer left the link.
    void LinkHovered(const QString& url);
    // Statuses as the page engine counts them (QWebEnginePage's values).
    void RenderProcessTerminated(int status, int exit_code);
    void WindowCloseRequested();
    void FindFinished(int matches, int active_match);
    void JavaScriptDone(int ticket, const QVariant& result);

private:
    PageEngine& engine_;
    QQuickWindow* window_ = nullptr;
    QWidget* container_ = nullptr;
    QObject* item_ = nullptr;
    int next_ticket_ = 1;
    // Scripts started by RunJavaScript, waiting for their answers.
    std::map<int, std::function<void(const QVariant&)>> scripts_running_;
};

} // namespace pelu::host
