// Fuzzes the registry text files and the store behind them. Each input is
// either a .reg file (parsed, applied to a fresh store) or, when it starts
// with 0x01, a program of store calls (keys and values with any names and
// contents the API takes). Either way the store is exported, the export
// parsed and applied to a second fresh store, and exported again: the two
// exports must be identical, and the export must always parse.
#include "platform/registry/reg_file.h"

#include <QString>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

namespace reg = pelu::platform::registry;

void check(bool condition, const char* what)
{
    if (!condition) {
        std::fprintf(stderr, "invariant broken: %s\n", what);
        std::abort();
    }
}

class Program {
public:
    Program(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    bool done() const { return pos_ >= size_; }
    std::uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }
    // A text of up to 31 UTF-16 units, each drawn from a small alphabet that
    // holds what is hard to write: separators, quotes, control characters,
    // blanks, "@", "]", "-", non-Latin letters and zero.
    QString text()
    {
        static const char16_t kAlphabet[] = {u'a', u'B', u'\\', u'/', u'"', u'\n', u'\r', u'\t', u' ', u'@', u']',
                                             u'[', u'-', u'=', u';', u'\0', u'\x7f', u'\x01', u'\x1f', u'x',
                                             u'\u00e9', u'\u00c9', u'\u4e2d', u'\u2028', u'%', u'0', u'\u00a0',
                                             u'\xdc80', u'\xd83d', u'\xde00', u'.', u'h'};
        const int length = byte() & 31;
        QString out;
        for (int i = 0; i < length; ++i)
            out += QChar(kAlphabet[byte() % (sizeof kAlphabet / sizeof kAlphabet[0])]);
        return out;
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

void run_program(reg::Store& store, Program program)
{
    program.byte(); // the mode byte
    const reg::Hive hives[] = {reg::Hive::ClassesRoot, reg::Hive::CurrentUser, reg::Hive::LocalMachine};
    while (!program.done()) {
        const std::uint8_t op = program.byte();
        const reg::Hive hive = hives[(op >> 4) % 3];
        try {
            const reg::KeyId key = store.create_key(hive, program.text());
            switch (op & 7) {
            case 0:
                store.set_value(key, reg::Value::string(program.text(), program.text(), false));
                break;
            case 1:
                store.set_value(key, reg::Value::string(program.text(), program.text(), true));
                break;
            case 2: {
                const QString name = program.text();
                store.set_value(key, reg::Value::binary(name, program.text().toUtf8()));
                break;
            }
            case 3: {
                const QString name = program.text();
                store.set_value(key, reg::Value::number(name, std::uint32_t(program.byte()) * 0x01010101u));
                break;
            }
            case 4:
                store.delete_value(key, program.text());
                break;
            case 5:
                if (key > 3)
                    store.delete_key(key);
                break;
            default:
                break; // the key alone
            }
        } catch (const reg::RegistryError&) {
            // a refused call (a key too deep) changes nothing
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    reg::Store first(QStringLiteral(":memory:"));
    if (size > 0 && data[0] == 0x01) {
        run_program(first, Program(data, size));
    } else {
        reg::RegFile parsed;
        try {
            parsed = reg::parse_reg_file(QByteArray(reinterpret_cast<const char*>(data), qsizetype(size)));
        } catch (const reg::RegFileError&) {
            return 0;
        } catch (const reg::RegistryError&) {
            check(false, "the parser throws only RegFileError");
        }
        try {
            reg::apply_reg_file(first, parsed, size % 2 == 1);
        } catch (const reg::RegistryError& error) {
            std::fprintf(stderr, "%s\n", error.what());
            check(false, "a parsed file applies");
        }
    }
    const QByteArray exported = reg::export_reg_file(first);
    reg::RegFile again;
    try {
        again = reg::parse_reg_file(exported);
    } catch (const reg::RegistryError& error) {
        std::fprintf(stderr, "%s\n", error.what());
        check(false, "an export parses");
    }
    reg::Store second(QStringLiteral(":memory:"));
    reg::apply_reg_file(second, again);
    const QByteArray exported_again = reg::export_reg_file(second);
    if (exported != exported_again) {
        std::fprintf(stderr, "--- first export\n%s\n--- second export\n%s\n", exported.constData(),
                     exported_again.constData());
        check(false, "export, import, export gives the same text");
    }
    return 0;
}
