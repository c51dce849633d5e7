// What the band form takes from outside: the collaborators the platform decides
// (the registry store, the mixer, the session bus) and the user interface it may
// not show by itself in every setting (file dialogs, message boxes, the file-read
// error dialog). The production form uses Defaults(): the per-user registry store,
// the process's mixer, Qt's dialogs and the session bus. Tests give a temporary
// registry file, the simulated mixer and scripted dialogs, and run the whole form.
//
// Thread: main thread only.
#pragma once

#include <QString>

#include <functional>
#include <memory>

class QWidget;

namespace pelu::platform::registry {
class Store;
}
namespace pelu::platform::mixer {
class MixerSystem;
}

namespace pelu::player {

struct FileDialogRequest {
    QString title;
    QString filter;            // "Name|*.ext"
    QString default_extension; // without the dot
    QString folder;            // where the dialog starts; empty: its own choice
};

enum class MessageKind { Warning, Information, Error };
enum class MessageButtons { Ok, YesNo };
enum class MessageAnswer { Ok, Yes, No };

struct BandServices {
    // Null: the per-user store (PELU_REGISTRY or $XDG_CONFIG_HOME/pelu/registry.sqlite).
    std::shared_ptr<platform::registry::Store> registry;
    // Null: the process's mixer (PELU_MIXER).
    std::shared_ptr<platform::mixer::MixerSystem> mixer;
    // An open or save dialog; the chosen file name, or empty when cancelled.
    std::function<QString(QWidget* parent, const FileDialogRequest& request)> open_file_dialog;
    std::function<QString(QWidget* parent, const FileDialogRequest& request)> save_file_dialog;
    // A modal message box. Every dialog of the band is parented to the browser
    // window that holds `parent` and shown above the band's panels.
    std::function<MessageAnswer(QWidget* parent, MessageKind kind, MessageButtons buttons, const QString& caption,
                                const QString& text)>
        message_box;
    // The file-read error dialog (Cancel, Retry, Ignore); returns the answer's id.
    // Only a person's own action brings it up, never a remote call.
    std::function<int(QWidget* parent, const QString& text)> read_error_dialog;
    // Whether the band offers its remote control on the session bus.
    bool export_mpris = true;

    // Qt's dialogs and message boxes, the default store, mixer and bus.
    static BandServices Defaults();
};

} // namespace pelu::player
