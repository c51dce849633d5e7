// The MPEG decoder contract: the C entry points that the decoder plug-in
// (libmmmpeg32.so) exports by name and the file source looks up with dlsym, and
// the records they exchange.
//
// Thread: a handle may be used from more than one thread (the file source reads
// on the wave output's thread and seeks on the main thread); the plug-in
// serialises the calls on one handle. The notification callback runs on the
// thread that called mpeg_SetFileName, before that call returns.
#pragma once

#include <cstddef>
#include <cstdint>

extern "C" {

// Ordinals as stored.
enum TMpegVersion : std::uint8_t { v2LSF = 0, v1 = 1 };
enum TSampleMode : std::uint8_t { smStereo = 0, smJointStereo = 1, smDualChannel = 2, smSingleChannel = 3 };
enum TChannelMode : std::int32_t { cmLeft = 0, cmRight = 1, cmBoth = 2, cmDownMix = 3 };

#pragma pack(push, 1)
struct MpegFileInfo {
    std::uint8_t version;          // TMpegVersion
    std::int32_t layer;            // 1, 2 or 3
    std::int32_t sample_rate_hz;   // of the stream
    std::int32_t playback_rate_hz; // of the decoded PCM
    std::int32_t bit_rate_kbps;    // the average for VBR streams
    std::uint8_t mode;             // TSampleMode
    std::int32_t frames;
    std::int32_t playing_time_ms;
    double frame_duration_ms;
    std::int32_t frame_size_bytes;
    // Not read by the player. Our decoder fills the first words; the rest is 0.
    std::int32_t samples_per_frame;
    std::int32_t first_frame_offset_bytes;
    std::int32_t file_size_bytes;
    std::int32_t is_vbr;           // 1 when the stream's bit rate varies
    std::int32_t encoder_delay_samples;
    std::int32_t encoder_padding_samples;
    std::uint8_t reserved[102];
};
#pragma pack(pop)
static_assert(sizeof(MpegFileInfo) == 164, "MpegFileInfo is 164 packed bytes");
static_assert(offsetof(MpegFileInfo, layer) == 1 && offsetof(MpegFileInfo, sample_rate_hz) == 5 &&
                  offsetof(MpegFileInfo, playback_rate_hz) == 9 &&
                  offsetof(MpegFileInfo, bit_rate_kbps) == 13 && offsetof(MpegFileInfo, mode) == 17 &&
                  offsetof(MpegFileInfo, frames) == 18 && offsetof(MpegFileInfo, playing_time_ms) == 22 &&
                  offsetof(MpegFileInfo, frame_duration_ms) == 26 &&
                  offsetof(MpegFileInfo, frame_size_bytes) == 34,
              "MpegFileInfo offsets");

using MpegHandle = void*;
// Called after mpeg_SetFileName has taken a file: (owner, message). Message 1: new file information.
using MpegNotifyCallback = void (*)(void* owner, std::int32_t message);
// Called with each decoded block when a decode callback is set (not used by the player).
using MpegDecodeCallback = void (*)(void* user, const void* pcm, std::int32_t size_bytes);

constexpr std::int32_t kMpegNotifyFileInfo = 1;

// Error codes (0 is success).
enum MpegError : std::int32_t {
    kMpegOk = 0,
    kMpegErrInvalidHandle = 1,
    kMpegErrNoFile = 2,
    kMpegErrFileNotFound = 3,
    kMpegErrNotMpeg = 4,
    kMpegErrFileNotOpen = 5,
    kMpegErrSeek = 6,
    kMpegErrDecode = 7,
    kMpegErrNoMemory = 8,
    kMpegErrNotSupported = 9,
    kMpegErrInit = 10,
    kMpegErrBadParameter = 11,
};

// Entry points, in the order the loader takes them.
std::int32_t mpeg_Version(void);
MpegHandle mpeg_Init(std::int32_t* status, MpegNotifyCallback callback, void* owner);
std::int32_t mpeg_Done(MpegHandle* handle);
std::int32_t mpeg_SetDecodeCallback(MpegHandle handle, MpegDecodeCallback callback, void* user);
std::int32_t mpeg_SetDecodeMode(MpegHandle handle, std::int32_t mode);
std::int32_t mpeg_Clear(MpegHandle handle);
std::int32_t mpeg_SetTrailingHeader(MpegHandle handle, std::int32_t value);
std::int32_t mpeg_SetFileOffset(MpegHandle handle, std::int32_t offset_bytes);
std::int32_t mpeg_SetExactPosition(MpegHandle handle, std::int32_t exact);
std::int32_t mpeg_SetFileName(MpegHandle handle, const char* file_name);
std::int32_t mpeg_GetFileName(MpegHandle handle, char* text, std::int32_t size);
std::int32_t mpeg_GetEmpty(MpegHandle handle);
std::int32_t mpeg_GetFileInfo(MpegHandle handle, MpegFileInfo* info);
std::int32_t mpeg_SetChannelMode(MpegHandle handle, std::int32_t mode);
std::int32_t mpeg_GetChannelMode(MpegHandle handle);
std::int32_t mpeg_SetPosition(MpegHandle handle, std::int32_t frame);
std::int32_t mpeg_GetPosition(MpegHandle handle);
std::int32_t mpeg_OpenFile(MpegHandle handle);
std::int32_t mpeg_CloseFile(MpegHandle handle);
std::int32_t mpeg_ResetFile(MpegHandle handle);
std::int32_t mpeg_ReadDataBytes(MpegHandle handle, void* buffer, std::int32_t count_bytes);
std::int32_t mpeg_AbortReadData(MpegHandle handle);
std::int32_t mpeg_GetDone(MpegHandle handle);
std::int32_t mpeg_ScanFile(MpegHandle handle);
std::int32_t mpeg_ScanFileEx(MpegHandle handle, std::int32_t* frames, std::int32_t* playing_time_ms);
std::int32_t mpeg_EncryptFile(MpegHandle handle, const char* target_name, std::int32_t key);
std::int32_t mpeg_ReadID3Tag(MpegHandle handle, void* tag128);
std::int32_t mpeg_GetErrorText(std::int32_t code, char* text, std::int32_t size);

} // extern "C"
