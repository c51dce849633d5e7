#include "audio/dsp_object.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace pelu {
namespace {

// A component publishing both links that records the notifications it receives.
class Recorder : public TMMDSPComponent {
    Q_OBJECT
    Q_PROPERTY(pelu::TMMDSPComponent* Input READ Input WRITE SetInput)
    Q_PROPERTY(pelu::TMMDSPComponent* Output READ Output WRITE SetOutput)
public:
    explicit Recorder(std::vector<std::string>* log = nullptr, std::string tag = {})
        : log_(log), tag_(std::move(tag)) {}
    void Opened() override { note("open"); TMMDSPComponent::Opened(); }
    void Closed() override { note("close"); TMMDSPComponent::Closed(); }
    void Started() override { note("start"); TMMDSPComponent::Started(); }
    void Stopped() override { note("stop"); TMMDSPComponent::Stopped(); }
    void Paused() override { note("pause"); }
    void Restarted() override { note("restart"); }
    void Reset() override { note("reset"); }
    std::vector<std::string>* log_;
    std::string tag_;

private:
    void note(const char* what) { if (log_ && !tag_.empty()) log_->push_back(tag_ + ":" + what); }
};

// A source that publishes only Output and fills each header with a counter.
class CountingSource : public TMMDSPComponent {
    Q_OBJECT
    Q_PROPERTY(pelu::TMMDSPComponent* Output READ Output WRITE SetOutput)
public:
    int remaining_loads = 2;
    void BufferLoad(ExtendedWaveHeader* h, bool& more) override
    {
        if (remaining_loads <= 0) {
            h->bytes_recorded = 0;
            more = false;
            return;
        }
        --remaining_loads;
        std::memset(h->data, 0x11, h->buffer_length);
        h->bytes_recorded = h->buffer_length;
        more = remaining_loads > 0;
    }
};

class Device : public TMMCustomSoundComponent {
    Q_OBJECT
    Q_PROPERTY(pelu::TMMDSPComponent* Input READ Input WRITE SetInput)
    Q_PROPERTY(pelu::TMMDSPComponent* Output READ Output WRITE SetOutput)
};

TEST(ChainLinks, LinksAreSymmetricAndCyclesAreRefused)
{
    Recorder a, b, c;
    a.SetOutput(&b);
    EXPECT_EQ(b.Input(), &a);
    EXPECT_EQ(a.OutputBackLink(), "Input");
    EXPECT_EQ(b.InputBackLink(), "Output");
    c.SetInput(&b);
    EXPECT_EQ(b.Output(), &c);

    a.SetInput(&a); // itself
    a.SetInput(&c); // its own downstream
    c.SetOutput(&a);
    EXPECT_EQ(a.Input(), nullptr);
    EXPECT_EQ(c.Output(), nullptr);
    EXPECT_EQ(a.Output(), &b);
    EXPECT_EQ(b.Output(), &c);
}

TEST(ChainLinks, RelinkingDetachesTheOldPartnerAndTakesTheNewFormat)
{
    Recorder audiox, other, eq;
    const WaveFormat cd = make_pcm_format(44100, 16, 2);
    const WaveFormat mono = make_pcm_format(22050, 16, 1);
    audiox.SetPWaveFormat(&cd);
    other.SetPWaveFormat(&mono);
    audiox.SetOutput(&eq);
    ASSERT_NE(eq.GetPWaveFormat(), nullptr);
    EXPECT_EQ(eq.GetPWaveFormat()->samples_per_sec, 44100u);

    eq.SetInput(&other);
    EXPECT_EQ(audiox.Output(), nullptr);
    EXPECT_EQ(other.Output(), &eq);
    ASSERT_NE(eq.GetPWaveFormat(), nullptr);
    EXPECT_EQ(eq.GetPWaveFormat()->channels, 1);

    // Taking a source that already feeds someone steals it from that one.
    Recorder thief;
    thief.SetInput(&other);
    EXPECT_EQ(eq.Input(), nullptr);
    EXPECT_EQ(other.Output(), &thief);
}

TEST(ChainLinks, OnlyPublishedOrMarkedDirectionsLink)
{
    CountingSource source;
    Recorder r;
    r.SetOutput(&source); // the source publishes no Input
    EXPECT_EQ(r.Output(), nullptr);
    r.SetInput(&source);
    EXPECT_EQ(source.Output(), &r);
}

TEST(ChainLinks, DestroyingTheMiddleLeavesNoDanglingLink)
{
    Recorder head, tail;
    {
        Recorder middle;
        head.SetOutput(&middle);
        middle.SetOutput(&tail);
        EXPECT_EQ(TMMDSPComponent::Registry().size(), 3u);
    }
    EXPECT_EQ(head.Output(), nullptr);
    EXPECT_EQ(tail.Input(), nullptr);
    EXPECT_EQ(TMMDSPComponent::Registry().size(), 2u);
}

TEST(ChainFormat, FormatTravelsDownAndNoneClearsIt)
{
    Recorder a, b, c;
    a.SetOutput(&b);
    b.SetOutput(&c);
    const WaveFormat cd = make_pcm_format(44100, 16, 2);
    a.SetPWaveFormat(&cd);
    ASSERT_NE(c.GetPWaveFormat(), nullptr);
    EXPECT_EQ(c.GetPWaveFormat()->block_align, 4);
    EXPECT_NE(c.GetPWaveFormat(), a.GetPWaveFormat()); // each owns a copy

    // A component being loaded takes a format but passes it on only when Loaded().
    Recorder d, e;
    d.SetLoading(true);
    d.SetOutput(&e);
    c.SetOutput(&d);
    ASSERT_NE(d.GetPWaveFormat(), nullptr);
    EXPECT_EQ(e.GetPWaveFormat(), nullptr);
    d.Loaded();
    ASSERT_NE(e.GetPWaveFormat(), nullptr);
    c.SetOutput(nullptr);
    EXPECT_EQ(d.GetPWaveFormat(), nullptr); // an old output loses its format with its input

    b.SetInput(nullptr);
    EXPECT_EQ(b.GetPWaveFormat(), nullptr);
    EXPECT_EQ(c.GetPWaveFormat(), nullptr);
}

TEST(ChainFormat, ConversionsRoundUpToWholeBlocks)
{
    const WaveFormat cd = make_pcm_format(44100, 16, 2);
    EXPECT_EQ(bytes_to_samples(cd, 8160), 2040);
    EXPECT_EQ(bytes_to_ms(cd, 176400), 1000);
    EXPECT_EQ(ms_to_bytes(cd, 3), 532);        // 529.2 -> 529 -> next block of 4
    EXPECT_EQ(samples_to_bytes(cd, 3), 12);
    EXPECT_EQ(ms_to_samples(cd, 60000), 2646000);
    EXPECT_EQ(samples_to_ms(cd, 22050), 500);
    // Large positions stay exact in 64 bits.
    EXPECT_EQ(bytes_to_ms(cd, 176400LL * 100000), 100000000);
}

TEST(ChainBufferSize, EffectiveSizeIsWholeBlocksAndAtLeastOne)
{
    const WaveFormat cd = make_pcm_format(44100, 16, 2);
    for (auto [stored, effective] : {std::pair{8160, 8160}, {8162, 8160}, {2, 4}}) {
        Recorder r;
        r.SetPWaveFormat(&cd);
        r.SetBufferSize(stored);
        r.Opened();
        EXPECT_EQ(r.BufferSize(), effective) << stored;
        r.Closed();
        EXPECT_EQ(r.BufferSize(), stored);
    }
    Recorder no_format;
    no_format.SetBufferSize(8162);
    no_format.Opened();
    EXPECT_EQ(no_format.BufferSize(), 8162);
}

TEST(ChainPropagation, OpenReachesHeadFirstThenDownstreamWithTheDeviceSize)
{
    std::vector<std::string> log;
    Recorder audiox(&log, "audiox"), eq(&log, "eq"), connector(&log, "conn");
    Device out;
    audiox.SetOutput(&eq);
    eq.SetOutput(&out);
    out.SetOutput(&connector);
    out.SetBufferSize(8160);
    log.clear(); // linking stops components; only the walk matters here
    out.PropagateOpen();
    EXPECT_EQ(log, (std::vector<std::string>{"audiox:open", "eq:open", "conn:open"}));
    EXPECT_EQ(audiox.StoredBufferSize(), 8160);
    EXPECT_EQ(connector.StoredBufferSize(), 8160);
    EXPECT_TRUE(out.IsOpened());

    log.clear();
    out.PropagateStart();
    out.PropagatePause();
    out.PropagateRestart();
    out.PropagateStop();
    out.PropagateClose();
    EXPECT_EQ(log, (std::vector<std::string>{
                       "audiox:start", "eq:start", "conn:start", "audiox:pause", "eq:pause",
                       "conn:pause", "audiox:restart", "eq:restart", "conn:restart",
                       "audiox:stop", "eq:stop", "conn:stop", "audiox:close", "eq:close",
                       "conn:close"}));
    EXPECT_FALSE(out.IsOpened());
    EXPECT_FALSE(out.FedByDevice());
}

TEST(ChainPropagation, AnotherDeviceUpstreamStartsTheWalkHere)
{
    std::vector<std::string> log;
    Recorder before(&log, "before"), after(&log, "after");
    Device first, second;
    before.SetOutput(&first);
    first.SetOutput(&second);
    second.SetOutput(&after);
    log.clear();
    second.PropagateOpen();
    EXPECT_TRUE(second.FedByDevice());
    EXPECT_EQ(log, (std::vector<std::string>{"after:open"}));
}

TEST(ChainBuffers, LoadPullsFromTheHeadAndReadyPassesDown)
{
    CountingSource source;
    Recorder middle, tail;
    source.SetOutput(&middle);
    middle.SetOutput(&tail);
    int loads_seen = 0, ready_seen = 0;
    middle.OnBufferLoad = [&](TMMDSPComponent*, ExtendedWaveHeader*, bool&) { ++loads_seen; };
    tail.OnBufferReady = [&](TMMDSPComponent*, ExtendedWaveHeader*) { ++ready_seen; };

    WaveBuffer buffer(64);
    bool more = false;
    buffer.prepare_for_load();
    tail.BufferLoad(buffer.header(), more);
    EXPECT_EQ(buffer.header()->bytes_recorded, 64u);
    EXPECT_TRUE(more);
    EXPECT_EQ(static_cast<unsigned char>(buffer.data()[63]), 0x11);
    buffer.prepare_for_load();
    tail.BufferLoad(buffer.header(), more);
    EXPECT_FALSE(more);
    // A finished source answers with nothing and no more buffers.
    buffer.prepare_for_load();
    more = true;
    tail.BufferLoad(buffer.header(), more);
    EXPECT_EQ(buffer.header()->bytes_recorded, 0u);
    EXPECT_FALSE(more);
    EXPECT_EQ(loads_seen, 3);

    source.BufferReady(buffer.header());
    EXPECT_EQ(ready_seen, 1);
}

TEST(ChainObject, UpdateBracketSuppressesChangesAndCallsHooksOnce)
{
    struct Counted : TMMObject {
        int begins = 0, ends = 0;
        void BeginUpdating() override { ++begins; }
        void EndUpdating() override { ++ends; }
    } object;
    int changes = 0;
    object.OnChange = [&](QObject*) { ++changes; };
    object.BeginUpdate();
    object.BeginUpdate();
    object.Changed();
    object.EndUpdate();
    object.Changed();
    object.EndUpdate();
    object.EndUpdate(); // unbalanced: ignored
    object.Changed();
    EXPECT_EQ(changes, 1);
    EXPECT_EQ(object.begins, 1);
    EXPECT_EQ(object.ends, 1);
}

TEST(ChainObserver, NotifiesLastAddedFirstAndHonoursLocks)
{
    std::vector<int> order;
    TMMObserver first, second;
    first.OnChange = [&](TMMObserver*, void*) { order.push_back(1); };
    second.OnChange = [&](TMMObserver*, void*) { order.push_back(2); };
    {
        TMMObservable other;
        other.AddObserver(&first);
        TMMObservable observable;
        observable.AddObserver(&first); // moves from `other`
        EXPECT_EQ(other.ObserverCount(), 0u);
        observable.AddObserver(&second);
        observable.NotifyObservers();
        EXPECT_EQ(order, (std::vector<int>{2, 1}));

        second.Lock();
        observable.NotifyObservers();
        EXPECT_EQ(order, (std::vector<int>{2, 1, 1}));
        second.Unlock();
        observable.BeginSuppress();
        observable.NotifyObservers();
        EXPECT_EQ(order.size(), 3u);
    }
    EXPECT_EQ(first.Observable(), nullptr); // the observable's end detached them
    EXPECT_EQ(second.Observable(), nullptr);
}

} // namespace
} // namespace pelu

#include "chain_test.moc"
