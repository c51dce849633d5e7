// PELU Browser's windows. A BrowserWindow is a small real browser: a toolbar area
// (the Rebar, "ReBarWindow32") whose first band is the navigation bar (back,
// forward, reload, home, address), and the page in a Qt WebEngine view. Its frame
// window is registered as "IEFrame"; the frame's own procedure answers the
// Backspace command (WM_COMMAND 0x1A032) by going back in the history.
//
// Each window has a BrowserObject (browser_object.h), its automation side.
// Helper objects get it as their site before the window is first shown; it
// fires NavigateComplete2 and DocumentComplete after every completed
// navigation, TitleChange when the title changes, and OnQuit when the window
// closes, after which each helper object's site is set to null and the object
// released. A close that arrives while a nested loop runs (a panel, menu or
// dialog, the band's or the page's) ends those loops first and takes effect
// once they have returned.
//
// Around the page: a stop/reload button that follows the loading, a progress
// bar and the hovered link in the status bar, a find bar (Ctrl+F), zoom, the
// usual keys, and a message with a Reload button in place of a page whose
// process died. The window opens inside its screen's available area.
//
// The BrowserSession holds what all windows of the process share: the loaded
// helper objects, the home page, the open windows, the page profile (kept on
// disk, so cookies and site storage survive a restart) with its downloads, and
// the observer that the automation channel (--automation) uses to report what
// happens.
//
// Thread: main thread only.
#pragma once

#include "host/browser_object.h"
#include "host/helper_objects.h"
#include "platform/com/com.h"
#include "platform/window/window.h"

#include <QImage>
#include <QMainWindow>
#include <QPointer>
#include <QStringList>
#include <QUrl>

#include <functional>
#include <map>
#include <vector>

class QAction;
class QLabel;
class QLineEdit;
class QProgressBar;
class QStackedWidget;
class QToolButton;
class QWebEngineDownloadRequest;

namespace pelu::host {

class BrowserWindow;
class BrowserSession;
class PageEngine;
class PageView;
class Rebar;

namespace win = pelu::platform::window;

inline constexpr char kFrameClass[] = "IEFrame";
inline constexpr char kBrowserName[] = "PELU Browser";
// The frame's commands (the low word of WM_COMMAND's wParam).
inline constexpr std::uint16_t kCommandBack = 0xA032;
// The navigation bar's band id.
inline constexpr win::UINT kNavigationBandId = 1;

class BrowserWindow : public QMainWindow {
    Q_OBJECT

public:
    // A window of `session`; its helper objects get their site here, before the
    // window is first shown.
    explicit BrowserWindow(BrowserSession& session);
    ~BrowserWindow() override;

    int number() const { return number_; }
    win::HWND handle() const { return handle_; }
    Rebar* rebar() const { return rebar_; }
    PageView* view() const { return view_; }
    BrowserObject* browser_object() const { return browser_; }

    void Navigate(const QUrl& url);
    void GoHome();
    // Sends the Backspace command to the frame window, as the key does outside an
    // editable field.
    void SendBackspaceCommand();
    // Fits the window into its screen's available area (size, then position).
    void FitIntoScreen();
    // A line in the status bar that stays until the next one.
    void ShowStatus(const QString& text);
    // What the status bar shows: a passing message (a hovered link, the zoom)
    // over the lasting line.
    QString status_text() const;
    QString address_text() const;
    // The window's picture, the page (drawn in a window of its own) included.
    QImage Grab();

    // The frame's own window procedure.
    static win::LRESULT Procedure(win::HWND window, win::UINT message, win::WPARAM wparam, win::LPARAM lparam);

signals:
    // A navigation completed; NavigateComplete2 is fired next.
    void LoadFinished(const QUrl& url);
    // After NavigateComplete2 has been fired for a completed navigation.
    void NavigationCompleted(const QUrl& url);
    // A band was inserted into the toolbar area (its index and id).
    void BandInserted(int index, unsigned id);
    // The page's process ended abnormally; the crash message shows.
    void PageCrashed(int status, int exit_code);

protected:
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // OnQuit to the helper objects, then their sites cleared and the objects let
    // go; once per window.
    void Quit();
    void BuildToolbar();
    void FireNavigationEvents(const QUrl& url);
    void UpdateTitle(const QString& title);
    void OnBackspace(QWidget* focus);
    void BuildFindBar();
    void CloseFindBar();
    void Find(bool backward);
    void ZoomBy(int steps);
    void ShowLoading(bool loading);
    void ShowCrash(int status, int exit_code);

    BrowserSession& session_;
    int number_ = 0;
    win::HWND handle_ = nullptr;
    Rebar* rebar_ = nullptr;
    QWidget* navigation_bar_ = nullptr;
    QLineEdit* address_ = nullptr;
    PageView* view_ = nullptr;
    QAction* back_ = nullptr;
    QAction* forward_ = nullptr;
    QAction* reload_ = nullptr;
    QAction* stop_ = nullptr;
    QStackedWidget* page_area_ = nullptr; // the view, or the crash message
    QWidget* crash_panel_ = nullptr;
    QLabel* crash_text_ = nullptr;
    QToolButton* stop_reload_ = nullptr;
    QProgressBar* progress_ = nullptr;
    QWidget* find_bar_ = nullptr;
    QLineEdit* find_field_ = nullptr;
    QLabel* find_result_ = nullptr;
    int zoom_step_ = 0; // index into the zoom levels, 0 = 100 %
    BrowserObject* browser_ = nullptr; // the window's own reference
    std::vector<com::ComPtr<com::IObjectWithSite>> helpers_;
    bool quit_fired_ = false;
    // A close waits for nested loops to end; it is tried again this much later.
    static constexpr int kCloseRetryMs = 20;
    bool close_retry_pending_ = false;
    const QEvent* last_backspace_ = nullptr;
    QLabel* status_ = nullptr;
};

class BrowserSession : public QObject {
    Q_OBJECT

public:
    BrowserSession(HelperObjects& helpers, QUrl home_page, QString home_problem);
    ~BrowserSession() override;

    HelperObjects& helpers() { return helpers_; }
    // The local home page; empty when it is missing (home_problem() says why).
    const QUrl& home_page() const { return home_page_; }
    const QString& home_problem() const { return home_problem_; }

    enum class OpenedBy { User, Page };
    // Opens and shows a window; `url` empty for the home page. A window that a
    // page opens is left for the page to fill.
    BrowserWindow* OpenWindow(const QUrl& url = QUrl(), OpenedBy opener = OpenedBy::User);
    BrowserWindow* window(int number) const;
    std::vector<BrowserWindow*> windows() const;
    // Closes every window the way the user would, so each band saves; with no
    // window left, ends the application.
    void CloseAll();
    // What every page uses: the page profile, kept under the data and cache
    // folders, and the view's QML.
    PageEngine& pages() const { return *pages_; }

signals:
    void WindowOpened(BrowserWindow* window);
    void WindowClosed(int number);
    // A download ended (window 0 when its window has gone).
    void DownloadFinished(int window, const QString& path, bool completed, const QString& problem);

private:
    friend class BrowserWindow;
    int NextNumber() { return ++last_number_; }
    void StartDownload(QWebEngineDownloadRequest* download, QObject* view_item);
    BrowserWindow* WindowOf(const QObject* view_item) const;

    HelperObjects& helpers_;
    QUrl home_page_;
    QString home_problem_;
    int last_number_ = 0;
    std::map<int, QPointer<BrowserWindow>> windows_;
    PageEngine* pages_ = nullptr;
    // Paths of downloads still running: a second download of the same name
    // picks another before the first has created its file.
    QStringList downloading_;
};

// `name` in `folder` if no file has it (and it is not in `taken`), else the
// first free "base (N).ext". Only the file name part of `name` is used.
QString free_file_name(const QString& folder, const QString& name, const QStringList& taken = {});

// The home page: "pages/index.html" in the storage folder that the registry's
// "DLL Location" names. Empty, with the reason in `problem`, when it is missing.
QUrl find_home_page(QString& problem);

} // namespace pelu::host
