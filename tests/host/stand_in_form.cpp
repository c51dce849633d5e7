// The form kind of the tests' helper-object library: an 804 x 28 strip with the
// one-line edit, standing in for the player form so that the browser's side can
// be tested on its own. It appends what happens to it to the file named by
// PELU_TEST_BAND_LOG, one word a line.
#include "browser/server.h"

#include <QFile>
#include <QLineEdit>

#include <cstdlib>

namespace pelu::browser {

namespace {

void note(const char* what)
{
    const char* path = std::getenv("PELU_TEST_BAND_LOG");
    if (!path || !*path)
        return;
    QFile log(QString::fromLocal8Bit(path));
    if (log.open(QIODevice::Append))
        log.write(QByteArray(what) + '\n');
}

} // namespace

BandFormKind band_form_kind()
{
    BandFormKind kind;
    kind.create = [](QWidget* parent) {
        auto* form = new QWidget(parent);
        form->setObjectName(QStringLiteral("TBandForm"));
        form->setFixedSize(804, 28);
        form->setStyleSheet(QStringLiteral("background: #555"));
        auto* edit = new QLineEdit(form);
        edit->setObjectName(QStringLiteral("Edit2"));
        edit->move(143, 524);
        note("created");
        QObject::connect(form, &QObject::destroyed, [] { note("destroyed"); });
        return form;
    };
    kind.set_ie_link = [](QWidget*, com::IWebBrowser2* browser) { note(browser ? "linked" : "unlinked"); };
    kind.band_closing = [](QWidget*) { note("closing"); };
    kind.edit2 = [](QWidget* form) { return form->findChild<QLineEdit*>(QStringLiteral("Edit2")); };
    return kind;
}

} // namespace pelu::browser
