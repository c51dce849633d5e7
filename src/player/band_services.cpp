#include "player/band_services.h"

#include "mpeginfo/mpeg_audio.h"

#include <QFileDialog>
#include <QMessageBox>
#include <QPushButton>
#include <QRegularExpression>

namespace pelu::player {

namespace {

// "Name|*.ext" as Qt writes a filter: "Name (*.ext)".
QString QtFilter(const QString& filter)
{
    QStringList parts = filter.split(QLatin1Char('|'));
    QStringList filters;
    for (int i = 0; i + 1 < parts.size(); i += 2)
        filters << QStringLiteral("%1 (%2)").arg(parts[i], parts[i + 1].replace(QLatin1Char(';'), QLatin1Char(' ')));
    return filters.join(QStringLiteral(";;"));
}

// The browser window that holds the band; a dialog there stays above the
// band's drop-down panels, which are stay-on-top windows of their own.
QWidget* DialogParent(QWidget* band) { return band ? band->window() : nullptr; }

void KeepAbovePanels(QWidget* dialog) { dialog->setWindowFlag(Qt::WindowStaysOnTopHint, true); }

QString RunFileDialog(QWidget* parent, const FileDialogRequest& request, QFileDialog::AcceptMode mode)
{
    QFileDialog dialog(DialogParent(parent), request.title, request.folder, QtFilter(request.filter));
    KeepAbovePanels(&dialog);
    dialog.setAcceptMode(mode);
    dialog.setFileMode(mode == QFileDialog::AcceptSave ? QFileDialog::AnyFile : QFileDialog::ExistingFile);
    if (!request.default_extension.isEmpty())
        dialog.setDefaultSuffix(request.default_extension);
    // A name typed without an extension takes the chosen filter's, so the
    // filter decides the kind of file a save writes.
    QObject::connect(&dialog, &QFileDialog::filterSelected, &dialog, [&dialog](const QString& filter) {
        static const QRegularExpression first_pattern(QStringLiteral("\\*\\.([A-Za-z0-9]+)"));
        const QRegularExpressionMatch match = first_pattern.match(filter);
        if (match.hasMatch())
            dialog.setDefaultSuffix(match.captured(1));
    });
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return {};
    return dialog.selectedFiles().first();
}

} // namespace

BandServices BandServices::Defaults()
{
    BandServices services;
    services.open_file_dialog = [](QWidget* parent, const FileDialogRequest& request) {
        return RunFileDialog(parent, request, QFileDialog::AcceptOpen);
    };
    services.save_file_dialog = [](QWidget* parent, const FileDialogRequest& request) {
        return RunFileDialog(parent, request, QFileDialog::AcceptSave);
    };
    services.message_box = [](QWidget* parent, MessageKind kind, MessageButtons buttons, const QString& caption,
                              const QString& text) {
        const QMessageBox::Icon icon = kind == MessageKind::Warning       ? QMessageBox::Warning
                                       : kind == MessageKind::Information ? QMessageBox::Information
                                                                          : QMessageBox::Critical;
        QString shown = text;
        shown.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
        QMessageBox box(icon, caption, shown,
                        buttons == MessageButtons::YesNo ? QMessageBox::Yes | QMessageBox::No : QMessageBox::Ok,
                        DialogParent(parent));
        KeepAbovePanels(&box);
        const int answer = box.exec();
        return answer == QMessageBox::Yes ? MessageAnswer::Yes
               : answer == QMessageBox::No ? MessageAnswer::No
                                           : MessageAnswer::Ok;
    };
    services.read_error_dialog = [](QWidget* parent, const QString& text) {
        QMessageBox box(QMessageBox::Critical, QStringLiteral("PELU"), text,
                        QMessageBox::Cancel | QMessageBox::Retry | QMessageBox::Ignore, DialogParent(parent));
        KeepAbovePanels(&box);
        switch (box.exec()) {
        case QMessageBox::Retry:
            return mpeginfo::idRetry;
        case QMessageBox::Ignore:
            return mpeginfo::idIgnore;
        default:
            return mpeginfo::idCancel;
        }
    };
    return services;
}

} // namespace pelu::player
