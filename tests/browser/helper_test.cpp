// The helper object against a fake browser: attaching, the events, the band and
// its two filters, taking the band down.
#include "browser/server.h"

#include "child_process.h"
#include "fake_browser.h"

#include <QApplication>
#include <QLineEdit>

#include <gtest/gtest.h>

#include <deque>
#include <stdexcept>

#include <malloc.h>

namespace pelu::browser {
namespace {

using namespace pelu::com;
using pelu::test::FakeBrowser;
namespace win = pelu::platform::window;

// The stand-in for the band form: an 804 x 28 widget with the one-line edit.
struct FormLog {
    int created = 0;
    int shown_at_link = 0;
    IWebBrowser2* link = nullptr;
    int closings = 0;
    bool throw_on_closing = false;
    bool throw_on_create = false;
    QPointer<QWidget> form;
    QWidget* parent = nullptr;
};

BandFormKind stand_in_form(FormLog& log)
{
    BandFormKind kind;
    kind.create = [&log](QWidget* parent) -> QWidget* {
        if (log.throw_on_create)
            throw std::runtime_error("no form today");
        auto* form = new QWidget(parent);
        form->setFixedSize(804, 28);
        auto* edit = new QLineEdit(form);
        edit->setObjectName("Edit2");
        edit->move(143, 524);
        ++log.created;
        log.form = form;
        log.parent = parent;
        return form;
    };
    kind.set_ie_link = [&log](QWidget* form, IWebBrowser2* browser) {
        log.link = browser;
        log.shown_at_link = form->isVisible() ? 1 : 0;
    };
    kind.band_closing = [&log](QWidget*) {
        ++log.closings;
        if (log.throw_on_closing)
            throw std::runtime_error("closing failed");
    };
    kind.edit2 = [](QWidget* form) { return form->findChild<QLineEdit*>("Edit2"); };
    return kind;
}

struct HelperTest : ::testing::Test {
    // Browsers outlive the server, which outlives the helper objects: the browser
    // lets go of its sinks first, then the library unloads, then the browser goes.
    std::deque<FakeBrowser> browsers;
    FormLog log;
    std::unique_ptr<ComServer> server = std::make_unique<ComServer>("/x/libPELU.so", stand_in_form(log), nullptr);

    void TearDown() override
    {
        for (FakeBrowser& browser : browsers)
            browser.drop_sinks();
        server.reset();
    }

    FakeBrowser& make_browser(const char* frame_class = "IEFrame", bool with_rebar = true)
    {
        return browsers.emplace_back(frame_class, with_rebar);
    }

    ComPtr<IObjectWithSite> new_helper()
    {
        void* out = nullptr;
        ComPtr<IClassFactory> factory;
        EXPECT_EQ(server->GetClassObject(&CLSID_IEHelper, &IID_IClassFactory, factory.put_void()), S_OK);
        EXPECT_EQ(factory->CreateInstance(nullptr, IID_IObjectWithSite, &out), S_OK);
        return ComPtr<IObjectWithSite>::adopt(static_cast<IObjectWithSite*>(out));
    }
    HelperModuleState& state() { return server->helper_state(); }
};

QLineEdit* edit2(const FormLog& log) { return log.form->findChild<QLineEdit*>("Edit2"); }

TEST_F(HelperTest, FirstBrowserWindowAttachesAndGetsTheBandOnce)
{
    FakeBrowser& browser = make_browser();
    auto helper = new_helper();
    // The site arrives before the frame is first shown.
    EXPECT_EQ(helper->SetSite(static_cast<IWebBrowser2*>(&browser)), S_OK);
    EXPECT_EQ(browser.sink_count(), 1u);
    EXPECT_EQ(state().band_state, 1);
    EXPECT_EQ(state().attach_state, 2);
    browser.frame()->show();

    EXPECT_EQ(browser.fire(DISPID_NAVIGATECOMPLETE2), S_OK);
    ASSERT_EQ(log.created, 1);
    EXPECT_EQ(log.parent, browser.rebar()); // the first rebar below the frame
    EXPECT_TRUE(log.form->isVisible());
    EXPECT_EQ(log.shown_at_link, 1); // shown before it got the browser
    EXPECT_EQ(log.link, static_cast<IWebBrowser2*>(&browser));
    EXPECT_EQ(state().band_created_marker, 99);

    ASSERT_EQ(browser.band_count(), 1);
    const win::REBARBANDINFO info = browser.band_info(0);
    EXPECT_EQ(info.cbSize, sizeof(win::REBARBANDINFO));
    EXPECT_EQ(info.fMask, 0x171u);
    EXPECT_EQ(info.fStyle, 0xA5u);
    EXPECT_EQ(win::WidgetFromWindow(info.hwndChild), log.form.data());
    EXPECT_EQ(info.cxMinChild, 804u);
    EXPECT_EQ(info.cyMinChild, 28u);
    EXPECT_EQ(info.cyMaxChild, 28u);
    EXPECT_EQ(info.cx, 100u);
    EXPECT_EQ(info.wID, 673u);
    EXPECT_EQ(info.cyIntegral, 1u);
    EXPECT_EQ(browser.rebar_messages.at(0).message, win::RB_INSERTBANDA);
    EXPECT_EQ(browser.rebar_messages.at(0).wparam, static_cast<win::WPARAM>(-1));

    // Later navigations change nothing.
    browser.fire(DISPID_NAVIGATECOMPLETE2);
    browser.fire(DISPID_DOCUMENTCOMPLETE);
    EXPECT_EQ(log.created, 1);
    EXPECT_EQ(browser.band_count(), 1);
}

TEST_F(HelperTest, ASecondVisibleFrameGetsNoBand)
{
    FakeBrowser& first = make_browser();
    auto first_helper = new_helper();
    ASSERT_EQ(first_helper->SetSite(static_cast<IWebBrowser2*>(&first)), S_OK);
    first.frame()->show();
    first.fire(DISPID_NAVIGATECOMPLETE2);

    FakeBrowser& second = make_browser();
    auto second_helper = new_helper();
    EXPECT_EQ(second_helper->SetSite(static_cast<IWebBrowser2*>(&second)), S_OK);
    EXPECT_EQ(second.sink_count(), 0u);
    second.frame()->show();
    second.fire(DISPID_NAVIGATECOMPLETE2);
    EXPECT_EQ(second.band_count(), 0);
    EXPECT_EQ(log.created, 1);

    // Once a frame has been seen, the flag stays: even with every frame hidden a
    // later site is turned away the same way.
    first.frame()->hide();
    second.frame()->hide();
    FakeBrowser& third = make_browser();
    EXPECT_EQ(new_helper()->SetSite(static_cast<IWebBrowser2*>(&third)), S_OK);
    EXPECT_EQ(third.sink_count(), 0u);
}

TEST_F(HelperTest, AnAttachedProcessRefusesFurtherSites)
{
    FakeBrowser& first = make_browser();
    ASSERT_EQ(new_helper()->SetSite(static_cast<IWebBrowser2*>(&first)), S_OK);
    // No frame visible yet, but a site was handled already.
    FakeBrowser& second = make_browser();
    EXPECT_EQ(new_helper()->SetSite(static_cast<IWebBrowser2*>(&second)), E_FAIL);
    EXPECT_EQ(second.sink_count(), 0u);
}

TEST_F(HelperTest, ANullSiteEndsAttaching)
{
    EXPECT_EQ(new_helper()->SetSite(nullptr), S_OK);
    EXPECT_EQ(state().attach_state, 2);
    FakeBrowser& browser = make_browser();
    EXPECT_EQ(new_helper()->SetSite(static_cast<IWebBrowser2*>(&browser)), E_FAIL);
    EXPECT_EQ(browser.sink_count(), 0u);
}

TEST_F(HelperTest, AHostThatIsNoBrowserFrameDoesNotBlockALaterOne)
{
    FakeBrowser& explorer = make_browser("CabinetWClass");
    EXPECT_EQ(new_helper()->SetSite(static_cast<IWebBrowser2*>(&explorer)), S_OK);
    EXPECT_EQ(explorer.sink_count(), 0u);
    EXPECT_EQ(state().attach_state, 0);
    EXPECT_FALSE(state().browser);
    EXPECT_EQ(explorer.references(), 1u); // nothing of it is kept

    FakeBrowser& browser = make_browser();
    EXPECT_EQ(new_helper()->SetSite(static_cast<IWebBrowser2*>(&browser)), S_OK);
    EXPECT_EQ(browser.sink_count(), 1u);
    EXPECT_EQ(state().attach_state, 2);
}

// A site that is not a browser at all.
class PlainSite final : public IUnknown {
public:
    HRESULT QueryInterface(REFIID iid, void** out) override
    {
        *out = nullptr;
        if (iid != IID_IUnknown)
            return E_NOINTERFACE;
        *out = this;
        AddRef();
        return S_OK;
    }
    ULONG AddRef() override { return ++references; }
    ULONG Release() override { return --references; }
    ULONG references = 1;
};

TEST_F(HelperTest, ASiteWithoutTheBrowserInterfaceIsRefusedAndChangesNothing)
{
    PlainSite site;
    EXPECT_EQ(new_helper()->SetSite(&site), E_FAIL);
    EXPECT_EQ(state().attach_state, 0);
    EXPECT_EQ(state().band_state, 0);
    EXPECT_FALSE(state().frame_seen);
    EXPECT_EQ(site.references, 1u);

    // A browser whose window cannot be had fails the same way.
    FakeBrowser& broken = make_browser();
    broken.fail_get_hwnd = true;
    EXPECT_EQ(new_helper()->SetSite(static_cast<IWebBrowser2*>(&broken)), E_FAIL);
    EXPECT_EQ(state().attach_state, 0);

    FakeBrowser& browser = make_browser();
    EXPECT_EQ(new_helper()->SetSite(static_cast<IWebBrowser2*>(&browser)), S_OK);
    EXPECT_EQ(state().attach_state, 2);
}

TEST_F(HelperTest, InvokeAnswersTheBrowsersEventsOnly)
{
    // Not attached: creating and taking down have nothing to act on.
    ComPtr<IDispatch> dispatch = new_helper().query<IDispatch>(IID_IDispatch);
    std::vector<DISPID> accepted;
    for (DISPID id = -5; id < 300; ++id) {
        const HRESULT hr = dispatch->Invoke(id, IID_NULL, 0, DISPATCH_METHOD, nullptr, nullptr, nullptr, nullptr);
        if (hr == S_OK)
            accepted.push_back(id);
        else
            EXPECT_EQ(hr, DISP_E_MEMBERNOTFOUND) << id;
    }
    std::vector<DISPID> expected = {102, 104, 105, 106, 108, 110, 112, 113};
    for (DISPID id = 250; id <= 270; ++id) {
        if (id != 261)
            expected.push_back(id);
    }
    EXPECT_EQ(accepted, expected);
    EXPECT_EQ(log.created, 0);
    EXPECT_EQ(log.closings, 0);
    EXPECT_EQ(state().band_state, 0);
}

TEST(HelperArguments, IndexMapPositionalReversedNamedByTheirIds)
{
    VARIANT args[4];
    DISPPARAMS params;
    params.rgvarg = args;
    params.cArgs = 3;
    EXPECT_EQ(dispatch_argument_map(&params), (std::vector<int>{2, 1, 0}));

    // Two named arguments (they come first in rgvarg) for positions 3 and 2.
    DISPID names[] = {3, 2};
    params.cArgs = 4;
    params.cNamedArgs = 2;
    params.rgdispidNamedArgs = names;
    EXPECT_EQ(dispatch_argument_map(&params), (std::vector<int>{3, 2, 1, 0}));
    names[0] = 2;
    names[1] = 3;
    EXPECT_EQ(dispatch_argument_map(&params), (std::vector<int>{3, 2, 0, 1}));

    // A name outside the list is passed over instead of written anywhere.
    DISPID wild[] = {1000, -7};
    params.rgdispidNamedArgs = wild;
    EXPECT_EQ(dispatch_argument_map(&params), (std::vector<int>{3, 2, -1, -1}));
    params.cNamedArgs = 9; // more names than arguments
    params.rgdispidNamedArgs = wild;
    params.cArgs = 2;
    EXPECT_EQ(dispatch_argument_map(&params), (std::vector<int>{-1, -1}));

    EXPECT_TRUE(dispatch_argument_map(nullptr).empty());
}

TEST_F(HelperTest, WithoutARebarThereIsNoBandAndNoForm)
{
    FakeBrowser& browser = make_browser("IEFrame", false);
    ASSERT_EQ(new_helper()->SetSite(static_cast<IWebBrowser2*>(&browser)), S_OK);
    browser.fire(DISPID_NAVIGATECOMPLETE2);
    EXPECT_EQ(log.created, 0);
    EXPECT_EQ(state().band_state, 2); // not retried
    EXPECT_NE(state().band_created_marker, 99);
    browser.fire(DISPID_ONQUIT);
    EXPECT_EQ(log.closings, 0); // no form: nothing to take down
}

TEST_F(HelperTest, RebarFilterRewritesOnlyTheBandsOwnIndex)
{
    FakeBrowser& browser = make_browser();
    // The browser's own band comes first.
    win::REBARBANDINFO own{};
    own.cbSize = sizeof own;
    own.fMask = win::RBBIM_ID;
    own.wID = 1;
    ASSERT_EQ(win::SendMessageW(browser.rebar_handle(), win::RB_INSERTBANDW, 0, reinterpret_cast<win::LPARAM>(&own)), 1);
    ASSERT_EQ(new_helper()->SetSite(static_cast<IWebBrowser2*>(&browser)), S_OK);
    browser.fire(DISPID_NAVIGATECOMPLETE2);
    ASSERT_EQ(browser.band_count(), 2);
    browser.rebar_messages.clear();

    // Setting another band's information passes through unchanged.
    win::REBARBANDINFO other{};
    other.cbSize = sizeof other;
    other.fMask = win::RBBIM_SIZE;
    other.cx = 333;
    EXPECT_EQ(win::SendMessageW(browser.rebar_handle(), win::RB_SETBANDINFOA, 0, reinterpret_cast<win::LPARAM>(&other)), 1);
    ASSERT_EQ(browser.rebar_messages.size(), 1u);
    EXPECT_EQ(browser.rebar_messages[0].lparam, reinterpret_cast<win::LPARAM>(&other));
    EXPECT_EQ(browser.band_info(0).cx, 333u);

    // Setting the band's: the rebar is handed the module's record instead.
    win::REBARBANDINFO caller{};
    caller.cbSize = sizeof caller;
    caller.fMask = win::RBBIM_SIZE;
    caller.cx = 500;
    for (win::UINT message : {win::RB_SETBANDINFOA, win::RB_SETBANDINFOW}) {
        browser.rebar_messages.clear();
        EXPECT_EQ(win::SendMessageW(browser.rebar_handle(), message, 1, reinterpret_cast<win::LPARAM>(&caller)), 1);
        ASSERT_EQ(browser.rebar_messages.size(), 1u);
        EXPECT_EQ(browser.rebar_messages[0].lparam, reinterpret_cast<win::LPARAM>(&state().band_info));
        EXPECT_EQ(browser.band_info(1).cx, 100u);
    }

    // Reading the band's: the answer (its id, which the module's record asks
    // for) goes into the module's record.
    for (win::UINT message : {win::RB_GETBANDINFOW, win::RB_GETBANDINFOA}) {
        state().band_info.wID = 0;
        win::REBARBANDINFO reader{};
        reader.cbSize = sizeof reader;
        reader.fMask = win::RBBIM_ID;
        EXPECT_EQ(win::SendMessageW(browser.rebar_handle(), message, 1, reinterpret_cast<win::LPARAM>(&reader)), 1);
        EXPECT_EQ(reader.wID, 0u);
        EXPECT_EQ(state().band_info.wID, kBandId);
        // The other band's reader gets its own answer.
        win::REBARBANDINFO other_reader{};
        other_reader.cbSize = sizeof other_reader;
        other_reader.fMask = win::RBBIM_ID;
        win::SendMessageW(browser.rebar_handle(), message, 0, reinterpret_cast<win::LPARAM>(&other_reader));
        EXPECT_EQ(other_reader.wID, 1u);
    }

    // Every other message passes through untouched.
    EXPECT_EQ(win::SendMessageW(browser.rebar_handle(), win::RB_GETBANDCOUNT, 0, 0), 2);
}

TEST_F(HelperTest, FrameFilterEditsEdit2LikeBackspace)
{
    FakeBrowser& browser = make_browser();
    ASSERT_EQ(new_helper()->SetSite(static_cast<IWebBrowser2*>(&browser)), S_OK);
    browser.fire(DISPID_NAVIGATECOMPLETE2);
    ASSERT_TRUE(log.form);
    QLineEdit* edit = edit2(log);
    const win::HWND frame = browser.frame_handle();
    auto backspace = [&] { return win::SendMessageW(frame, win::WM_COMMAND, kBackspaceCommand, 0); };

    // Without a selection: the character before the caret goes.
    edit->setText("playlist");
    edit->setCursorPosition(4);
    backspace();
    EXPECT_EQ(edit->text(), "plalist");
    EXPECT_EQ(edit->cursorPosition(), 3);

    // With a selection: the selection goes, the caret sits at its start.
    edit->setText("playlist");
    edit->setSelection(2, 4); // "ayli"
    backspace();
    EXPECT_EQ(edit->text(), "plst");
    EXPECT_EQ(edit->cursorPosition(), 2);
    EXPECT_FALSE(edit->hasSelectedText());

    // A selection made from right to left is the same selection.
    edit->setText("playlist");
    edit->setCursorPosition(6);
    edit->cursorBackward(true, 4);
    backspace();
    EXPECT_EQ(edit->text(), "plst");

    // At the start, without a selection: nothing changes.
    edit->setText("playlist");
    edit->setCursorPosition(0);
    backspace();
    EXPECT_EQ(edit->text(), "playlist");
    EXPECT_EQ(edit->cursorPosition(), 0);

    // Long texts keep everything after the caret.
    const QString long_text = QString(300, 'a') + QString(300, 'b');
    edit->setText(long_text);
    edit->setCursorPosition(300);
    backspace();
    EXPECT_EQ(edit->text(), QString(299, 'a') + QString(300, 'b'));

    // A character outside the basic plane goes whole.
    edit->setText(QString::fromUtf8("x\xF0\x9F\x8E\xB5y"));
    edit->setCursorPosition(3);
    backspace();
    EXPECT_EQ(edit->text(), "xy");

    // Other commands leave the field alone; every command reaches the frame.
    edit->setText("abc");
    win::SendMessageW(frame, win::WM_COMMAND, 0xA032, 0); // notification code 0: not the one
    EXPECT_EQ(edit->text(), "abc");
    EXPECT_EQ(browser.frame_commands.size(), 7u);
    EXPECT_EQ(browser.frame_commands.back(), 0xA032u);
}

TEST_F(HelperTest, OnQuitTakesTheBandDownAndTheFiltersOut)
{
    FakeBrowser& browser = make_browser();
    ComPtr<IObjectWithSite> helper = new_helper();
    ASSERT_EQ(helper->SetSite(static_cast<IWebBrowser2*>(&browser)), S_OK);
    browser.fire(DISPID_NAVIGATECOMPLETE2);
    ASSERT_TRUE(log.form);
    EXPECT_NE(win::GetWindowProc(browser.frame_handle()), &FakeBrowser::FrameProcedure);

    browser.fire(DISPID_ONQUIT);
    EXPECT_EQ(log.closings, 1);
    EXPECT_FALSE(log.form); // destroyed
    EXPECT_EQ(browser.sink_count(), 0u); // events disconnected
    // The windows have their own procedures back.
    EXPECT_EQ(win::GetWindowProc(browser.rebar_handle()), &FakeBrowser::RebarProcedure);
    EXPECT_EQ(win::GetWindowProc(browser.frame_handle()), &FakeBrowser::FrameProcedure);
    win::SendMessageW(browser.frame_handle(), win::WM_COMMAND, kBackspaceCommand, 0);
    EXPECT_EQ(browser.frame_commands.size(), 1u);

    // The browser then lets go of the helper object; the server can unload.
    EXPECT_EQ(helper->SetSite(nullptr), E_FAIL);
    helper.reset();
    EXPECT_EQ(server->CanUnloadNow(), S_OK);
}

TEST_F(HelperTest, FiltersChainedOverStayButOnlyPassOn)
{
    FakeBrowser& browser = make_browser();
    ASSERT_EQ(new_helper()->SetSite(static_cast<IWebBrowser2*>(&browser)), S_OK);
    browser.fire(DISPID_NAVIGATECOMPLETE2);
    ASSERT_TRUE(log.form);
    // Someone else subclasses the frame after the band did.
    static win::WNDPROC band_filter;
    band_filter = win::GetWindowProc(browser.frame_handle());
    auto outer = [](win::HWND w, win::UINT m, win::WPARAM wp, win::LPARAM lp) {
        return win::CallWindowProcW(band_filter, w, m, wp, lp);
    };
    win::SetWindowProc(browser.frame_handle(), outer);

    browser.fire(DISPID_ONQUIT);
    EXPECT_FALSE(log.form);
    // The outer procedure is not cut out of the chain ...
    EXPECT_EQ(win::GetWindowProc(browser.frame_handle()), static_cast<win::WNDPROC>(outer));
    // ... and the band's filter, still in it, passes the command on untouched.
    win::SendMessageW(browser.frame_handle(), win::WM_COMMAND, kBackspaceCommand, 0);
    EXPECT_EQ(browser.frame_commands, std::vector<win::WPARAM>{kBackspaceCommand});
}

TEST_F(HelperTest, OnQuitBeforeAnyFormDoesNothing)
{
    FakeBrowser& browser = make_browser();
    ASSERT_EQ(new_helper()->SetSite(static_cast<IWebBrowser2*>(&browser)), S_OK);
    EXPECT_EQ(browser.fire(DISPID_ONQUIT), S_OK);
    EXPECT_EQ(log.closings, 0);
    EXPECT_EQ(browser.sink_count(), 1u);
    // The band can still come afterwards.
    browser.fire(DISPID_NAVIGATECOMPLETE2);
    EXPECT_EQ(log.created, 1);
}

TEST_F(HelperTest, AFailedInsertLeavesTheFormAloneAtQuit)
{
    FakeBrowser& browser = make_browser();
    browser.refuse_insert = true;
    ASSERT_EQ(new_helper()->SetSite(static_cast<IWebBrowser2*>(&browser)), S_OK);
    browser.fire(DISPID_NAVIGATECOMPLETE2);
    ASSERT_TRUE(log.form);
    EXPECT_NE(state().band_created_marker, 99);
    // No filters were installed.
    EXPECT_EQ(win::GetWindowProc(browser.rebar_handle()), &FakeBrowser::RebarProcedure);
    EXPECT_EQ(win::GetWindowProc(browser.frame_handle()), &FakeBrowser::FrameProcedure);

    browser.fire(DISPID_ONQUIT);
    EXPECT_EQ(log.closings, 1);
    EXPECT_TRUE(log.form); // left as it is
    EXPECT_EQ(browser.sink_count(), 1u);
}

TEST_F(HelperTest, AFailingFormCreationEndsQuietlyAndIsNotRetried)
{
    FakeBrowser& browser = make_browser();
    log.throw_on_create = true;
    ASSERT_EQ(new_helper()->SetSite(static_cast<IWebBrowser2*>(&browser)), S_OK);
    EXPECT_EQ(browser.fire(DISPID_NAVIGATECOMPLETE2), S_OK);
    log.throw_on_create = false;
    browser.fire(DISPID_NAVIGATECOMPLETE2);
    EXPECT_EQ(log.created, 0);
    EXPECT_EQ(browser.band_count(), 0);
}

TEST_F(HelperTest, AFailingBandClosingStillDestroysTheForm)
{
    FakeBrowser& browser = make_browser();
    log.throw_on_closing = true;
    ASSERT_EQ(new_helper()->SetSite(static_cast<IWebBrowser2*>(&browser)), S_OK);
    browser.fire(DISPID_NAVIGATECOMPLETE2);
    ASSERT_TRUE(log.form);
    browser.fire(DISPID_ONQUIT);
    EXPECT_FALSE(log.form);
    EXPECT_EQ(browser.sink_count(), 0u);
    EXPECT_EQ(win::GetWindowProc(browser.frame_handle()), &FakeBrowser::FrameProcedure);
}

TEST_F(HelperTest, UnloadingTheServerTakesTheFiltersOutAndReleasesTheBrowser)
{
    FakeBrowser& browser = make_browser();
    {
        auto helper = new_helper();
        ASSERT_EQ(helper->SetSite(static_cast<IWebBrowser2*>(&browser)), S_OK);
        browser.fire(DISPID_NAVIGATECOMPLETE2);
    }
    ASSERT_TRUE(log.form);
    // The browser drops its connections and the window goes, without a quit
    // event; with no object left the library may be unloaded.
    browser.drop_sinks();
    delete log.form.data();
    ASSERT_EQ(server->CanUnloadNow(), S_OK);
    EXPECT_GT(browser.references(), 1u); // the module's browser reference
    server.reset();
    EXPECT_EQ(win::GetWindowProc(browser.rebar_handle()), &FakeBrowser::RebarProcedure);
    EXPECT_EQ(win::GetWindowProc(browser.frame_handle()), &FakeBrowser::FrameProcedure);
    EXPECT_EQ(browser.references(), 1u);
}

} // namespace
} // namespace pelu::browser

namespace pelu::browser {
namespace {

// The library's server is a static object that takes the band's filters out of
// their windows when it is destroyed. A process that ends with the band still in
// its window destroys it during static destruction, so the filters' tables must
// outlive it. Ends that way in a child whose freed memory is scribbled over, so
// that a look into a destroyed table faults instead of reading stale nodes.
TEST(HelperAtExit, AProcessEndingWithTheBandInItsWindowTakesTheFiltersOutCleanly)
{
    if (qEnvironmentVariableIsSet("PELU_TEST_END_WITH_BAND")) {
        // Leaked on purpose: the browser and the form outlive the server, as a
        // browser's windows outlive a library unloaded at exit.
        static auto* log = new FormLog;
        static ComServer server("/x/libPELU.so", stand_in_form(*log), nullptr);
        static auto* browser = new FakeBrowser;
        ComPtr<IClassFactory> factory;
        void* helper = nullptr;
        ASSERT_EQ(server.GetClassObject(&CLSID_IEHelper, &IID_IClassFactory, factory.put_void()), S_OK);
        ASSERT_EQ(factory->CreateInstance(nullptr, IID_IObjectWithSite, &helper), S_OK);
        ASSERT_EQ(static_cast<IObjectWithSite*>(helper)->SetSite(static_cast<IWebBrowser2*>(browser)), S_OK);
        browser->frame()->show();
        browser->fire(DISPID_NAVIGATECOMPLETE2);
        ASSERT_EQ(log->created, 1);
        ::mallopt(M_PERTURB, 0xa5);
        std::fputs("band in its window\n", stdout);
        std::fflush(stdout);
        std::exit(0);
    }
    // Leaks of an exit without taking the application down (font caches) are
    // not what this looks for: memory errors are.
    const QString sanitizer = QString::fromLocal8Bit(qgetenv("ASAN_OPTIONS")) + ":detect_leaks=0";
    test::ChildProcess child;
    ASSERT_TRUE(child.Start(QCoreApplication::applicationFilePath(), {"--gtest_filter=HelperAtExit.*"},
                            {.environment = {"PELU_TEST_END_WITH_BAND=1", "QT_QPA_PLATFORM=offscreen",
                                             "ASAN_OPTIONS=" + sanitizer}}));
    EXPECT_TRUE(child.ReadAll(20000).contains("band in its window"));
    EXPECT_EQ(child.Wait(20000), 0) << "the process did not end cleanly";
}

} // namespace
} // namespace pelu::browser
