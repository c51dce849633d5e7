// Fuzzes the MPEG file reader: each input is written to a file and analysed,
// with a template that runs every record macro over what was read, and the
// tail of the input expanded as a template of its own. Besides the
// sanitizers, the record's invariants are checked after every analysis.
#include "fuzz/fuzz_files.h"
#include "mpeginfo/macros.h"
#include "mpeginfo/mpeg_audio.h"

#include <QString>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <unistd.h>

namespace {

std::string g_path;

void check(bool condition, const char* what)
{
    if (!condition) {
        std::fprintf(stderr, "invariant broken: %s\n", what);
        std::abort();
    }
}

const QString kEveryMacro = QStringLiteral(
    "%FN%%FNS%%FP%%VL%%T%%ET%%GT%%FD%%FDTFS%%FT%%A%%EA%%GA%%ALB%%Y%%CMNT%%G%%GNR%%TR%%D%%DC%%DM%"
    "%DMC%%DF%%L%%LC%%LK%%LKC%%LM%%V%%LY%%LYN%%SR%%SRK%%BR%%EP%%EP*%%C%%C*%%O%%O*%%M%%S%%FPN%%GAT%"
    "%T,C,12,*,C%%BR,R,6,0%%GA,T,,,F%");

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    g_path = pelu::fuzz::make_fuzz_folder("pelu-fuzz") + "/Artist - Title.mp3";
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    pelu::fuzz::write_whole_file(g_path, data, size);

    using pelu::mpeginfo::TMPEGAudio;
    TMPEGAudio record;
    record.SetAutoLoad(false);
    record.SetOnReadError({});
    record.SetMacroTemplate(kEveryMacro);
    int hooks = 0;
    record.SetProcessMessages([&] { ++hooks; });
    // Some inputs run with a search limit, drawn from the input's size.
    if (size % 3 == 0)
        record.SetSearchLimit(static_cast<std::int32_t>(size / 3));
    record.SetFileName(QString::fromStdString(g_path));
    const int result = record.Analyse();

    check(result == 0 || result == -1, "result is 0 or -1 without a handler");
    check(record.Length() == static_cast<std::int32_t>(size), "Length is the file size");
    if (result == 0) {
        check(record.HeaderValid(), "an accepted record has a valid header");
        check(record.FirstFramePos() >= 0 && record.FirstFramePos() < record.Length(), "first frame inside the file");
        check(record.FrameLength() > 0 || record.BitRate() == -1, "frame length known (a Xing average may round to 0)");
    } else {
        check(record.FirstFramePos() == record.Length() + 1, "no frame: FirstFramePos is Length + 1");
        check(record.Version() == 0 && record.BitRate() == 0, "no frame: header fields reset");
    }
    check(hooks <= static_cast<int>(size / 300) + 2, "at most one hook call per 300 bytes scanned");
    check(record.Title().size() <= 30 && record.Artist().size() <= 30, "tag texts fit their fields");

    // The tail of the input as a template of its own.
    const std::size_t tail = size < 96 ? size : 96;
    const QString text = QString::fromLatin1(reinterpret_cast<const char*>(data + size - tail),
                                             static_cast<qsizetype>(tail));
    const pelu::mpeginfo::MacroListContext list;
    (void)pelu::mpeginfo::MacroDefinitions().Expand(text, &record, (size & 1) ? &list : nullptr);
    return 0;
}
