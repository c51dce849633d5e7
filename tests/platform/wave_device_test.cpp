// The wave-output platform layer: the simulated, null and ALSA null devices
// behind one interface.
#include "platform/wave/wave_device.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace pelu::platform::wave {
namespace {

// Records the notices a device gives.
class Client : public WaveOutClient {
public:
    void wave_opened() override { note([&] { ++opened; }); }
    void wave_done(void* tag) override { note([&] { done.push_back(tag); }); }
    void wave_closed() override { note([&] { ++closed; }); }
    void wave_failed(int code) override
    {
        note([&] {
            ++failed;
            failure = code;
        });
    }

    bool wait(const std::function<bool()>& condition, int timeout_ms = 5000)
    {
        std::unique_lock lock(mutex);
        return cv.wait_for(lock, std::chrono::milliseconds(timeout_ms), condition);
    }

    std::mutex mutex;
    std::condition_variable cv;
    int opened = 0, closed = 0, failed = 0, failure = 0;
    std::vector<void*> done;

private:
    template <typename F> void note(F f)
    {
        {
            std::lock_guard lock(mutex);
            f();
        }
        cv.notify_all();
    }
};

const PcmFormat kCd{44100, 2, 16};

class WaveDeviceTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        SimRecorder::clear();
        SimRecorder::set_enabled(true);
    }
    void TearDown() override
    {
        SimRecorder::set_enabled(false);
        SimRecorder::clear();
        SimFaults::clear();
        select_wave_system("sim:0");
    }
};

TEST_F(WaveDeviceTest, SpecsChooseTheBackend)
{
    EXPECT_TRUE(select_wave_system("sim:2.5"));
    EXPECT_EQ(wave_system().backend_name(), "sim");
    EXPECT_TRUE(select_wave_system("null"));
    EXPECT_EQ(wave_system().backend_name(), "null");
    EXPECT_TRUE(select_wave_system("alsa:null"));
    EXPECT_EQ(wave_system().backend_name(), "alsa");
    EXPECT_GE(wave_system().device_count(), 1); // a named device is there even without a card
    DeviceCaps caps;
    EXPECT_EQ(wave_system().capabilities(0, caps), kOk);
    EXPECT_EQ(caps.product_name, "ALSA null");
    for (const char* bad : {"", "sim:", "sim:x", "sim:-1", "pulse", "alsa:"})
        EXPECT_FALSE(select_wave_system(bad)) << bad;
    EXPECT_EQ(wave_system().backend_name(), "alsa"); // unchanged by the refusals
}

TEST_F(WaveDeviceTest, ErrorTextsNameOurCodesAndBackendCodes)
{
    EXPECT_EQ(error_text(kErrBadDeviceId), "A device ID has been used that is out of range for your system");
    EXPECT_EQ(error_text(12345), "Specified error number is out of range (unknown error)");
    EXPECT_EQ(error_text(-ENOENT), "No such file or directory");
    EXPECT_LE(error_text(kErrStillPlaying).size(), 255u);
}

TEST_F(WaveDeviceTest, SimReturnsBuffersInOrderAndPlaysTheirBytes)
{
    ASSERT_TRUE(select_wave_system("sim:0"));
    Client client;
    std::unique_ptr<WaveOutDevice> device;
    ASSERT_EQ(wave_system().open(0, kCd, &client, device), kOk);
    ASSERT_TRUE(client.wait([&] { return client.opened == 1; }));
    std::vector<std::vector<char>> buffers;
    for (int i = 0; i < 5; ++i)
        buffers.emplace_back(400, char('a' + i));
    for (auto& b : buffers)
        ASSERT_EQ(device->write(b.data(), 400, &b), kOk);
    ASSERT_TRUE(client.wait([&] { return client.done.size() == 5; }));
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(client.done[i], &buffers[i]);
    std::uint64_t samples = 0;
    ASSERT_EQ(device->position_samples(samples), kOk);
    EXPECT_EQ(samples, 500u);
    const std::vector<char> played = SimRecorder::played_bytes();
    ASSERT_EQ(played.size(), 2000u);
    EXPECT_EQ(played[0], 'a');
    EXPECT_EQ(played[1999], 'e');
    ASSERT_EQ(device->close(), kOk);
    EXPECT_TRUE(client.wait([&] { return client.closed == 1; }));
}

TEST_F(WaveDeviceTest, SimPauseHoldsTheQueueAndResetReturnsIt)
{
    ASSERT_TRUE(select_wave_system("sim:1"));
    Client client;
    std::unique_ptr<WaveOutDevice> device;
    ASSERT_EQ(wave_system().open(0, kCd, &client, device), kOk);
    std::vector<char> data(4410 * 4); // 0.1 s each
    ASSERT_EQ(device->pause(), kOk);
    for (int i = 0; i < 3; ++i)
        device->write(data.data(), static_cast<std::uint32_t>(data.size()), &data[i]);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    std::uint64_t samples = 1;
    device->position_samples(samples);
    EXPECT_EQ(samples, 0u) << "a paused device does not play";
    {
        std::lock_guard lock(client.mutex);
        EXPECT_TRUE(client.done.empty());
    }
    device->restart();
    ASSERT_TRUE(client.wait([&] { return client.done.size() == 1; }));
    device->pause();
    std::uint64_t held = 0, later = 0;
    device->position_samples(held);
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    device->position_samples(later);
    EXPECT_EQ(held, later);
    EXPECT_GE(held, 4410u);
    EXPECT_LT(held, 3u * 4410);
    ASSERT_EQ(device->reset(), kOk);
    {
        std::lock_guard lock(client.mutex);
        EXPECT_EQ(client.done.size(), 3u) << "reset returns every queued buffer";
    }
    device->position_samples(samples);
    EXPECT_EQ(samples, 0u);
    device->close();
}

TEST_F(WaveDeviceTest, NullAndAlsaNullAcceptEverythingAndRecordNothing)
{
    for (const char* device_name : {"null", "alsa:null"}) {
        ASSERT_TRUE(select_wave_system(device_name));
        EXPECT_EQ(wave_system().query_format(0, kCd), kOk) << device_name;
        EXPECT_NE(wave_system().query_format(0, PcmFormat{44100, 2, 24}), kOk) << device_name;
        EXPECT_EQ(wave_system().query_format(3, kCd), kErrBadDeviceId) << device_name;
        Client client;
        std::unique_ptr<WaveOutDevice> device;
        ASSERT_EQ(wave_system().open(0, kCd, &client, device), kOk) << device_name;
        std::vector<char> data(8160);
        for (int i = 0; i < 20; ++i)
            ASSERT_EQ(device->write(data.data(), 8160, &data[i]), kOk);
        ASSERT_TRUE(client.wait([&] { return client.done.size() == 20; })) << device_name;
        std::uint64_t samples = 0;
        device->position_samples(samples);
        EXPECT_EQ(samples, 20u * 2040) << device_name;
        device->close();
        EXPECT_TRUE(client.wait([&] { return client.closed == 1; })) << device_name;
    }
    EXPECT_TRUE(SimRecorder::played_bytes().empty());
}

TEST_F(WaveDeviceTest, AlsaPauseKeepsQueuedBuffersAndCloseReturnsThem)
{
    ASSERT_TRUE(select_wave_system("alsa:null"));
    Client client;
    std::unique_ptr<WaveOutDevice> device;
    ASSERT_EQ(wave_system().open(0, kCd, &client, device), kOk);
    ASSERT_TRUE(client.wait([&] { return client.opened == 1; }));
    device->pause();
    std::vector<char> data(8160);
    for (int i = 0; i < 4; ++i)
        device->write(data.data(), 8160, &data[i]);
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    {
        std::lock_guard lock(client.mutex);
        EXPECT_TRUE(client.done.empty()) << "nothing plays while paused";
    }
    device->close();
    std::lock_guard lock(client.mutex);
    EXPECT_EQ(client.done.size(), 4u);
    EXPECT_EQ(client.closed, 1);
}

TEST_F(WaveDeviceTest, AnAlsaDeviceWhoseWritesFailSaysSoOnceAndStillReturnsItsQueue)
{
    // ALSA's file plugin writing to /dev/full: its writes fail once its buffer
    // has to go out. Nothing recovers that, so the device stops for good.
    ASSERT_TRUE(select_wave_system("alsa:file:'/dev/full',raw"));
    Client client;
    std::unique_ptr<WaveOutDevice> device;
    ASSERT_EQ(wave_system().open(0, kCd, &client, device), kOk);
    std::vector<char> data(8160);
    device->pause(); // all twenty queued before the first write can fail
    for (int i = 0; i < 20; ++i)
        ASSERT_EQ(device->write(data.data(), 8160, &data[i]), kOk);
    device->restart();
    ASSERT_TRUE(client.wait([&] { return client.failed == 1; }));
    EXPECT_EQ(client.failure, -EIO);
    EXPECT_EQ(device->write(data.data(), 8160, &data[0]), -EIO) << "no writes after the failure";
    std::uint64_t held = 0, later = 0;
    ASSERT_EQ(device->position_samples(held), kOk);
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    device->position_samples(later);
    EXPECT_EQ(held, later);
    // Pause, restart and reset answer at once; reset returns every buffer.
    EXPECT_EQ(device->pause(), kOk);
    EXPECT_EQ(device->restart(), kOk);
    EXPECT_EQ(device->reset(), kOk);
    {
        std::lock_guard lock(client.mutex);
        EXPECT_EQ(client.done.size(), 20u);
        EXPECT_EQ(client.failed, 1);
    }
    EXPECT_EQ(device->close(), kOk);
    EXPECT_EQ(client.closed, 1);
}

TEST_F(WaveDeviceTest, SimFaultsFailOneDeviceThenTheNextIsHealthy)
{
    ASSERT_TRUE(select_wave_system("sim:0"));
    SimFaults::fail_next_device_after(2, -ENODEV);
    Client client;
    std::unique_ptr<WaveOutDevice> device;
    ASSERT_EQ(wave_system().open(0, kCd, &client, device), kOk);
    std::vector<char> data(400);
    device->pause(); // all five queued before the third can fail
    for (int i = 0; i < 5; ++i)
        ASSERT_EQ(device->write(data.data(), 400, &data[i]), kOk);
    device->restart();
    ASSERT_TRUE(client.wait([&] { return client.failed == 1; }));
    EXPECT_EQ(client.failure, -ENODEV);
    EXPECT_EQ(device->write(data.data(), 400, &data[0]), -ENODEV);
    std::uint64_t samples = 0;
    device->position_samples(samples);
    EXPECT_EQ(samples, 200u) << "two buffers played";
    device->close();
    {
        std::lock_guard lock(client.mutex);
        EXPECT_EQ(client.done.size(), 5u) << "close returned the three that never played";
    }

    SimFaults::fail_next_opens(1, -ENODEV);
    Client second;
    EXPECT_EQ(wave_system().open(0, kCd, &second, device), -ENODEV);
    ASSERT_EQ(wave_system().open(0, kCd, &second, device), kOk);
    for (int i = 0; i < 5; ++i)
        ASSERT_EQ(device->write(data.data(), 400, &data[i]), kOk);
    ASSERT_TRUE(second.wait([&] { return second.done.size() == 5; }));
    EXPECT_EQ(second.failed, 0);
    device->close();
}

} // namespace
} // namespace pelu::platform::wave
