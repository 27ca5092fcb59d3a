// Fuzz target: a line on stderr as the service writes it; whatever a request holds, it stays one short line that reads as stored.
#include "common/text.h"
#include "tests/fuzz/FuzzInput.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const std::string line = clip(escape_controls(text), 64);
    std::u16string wide;
    FUZZ_CHECK(utf8_to_utf16(line, &wide) && line.size() <= 64 + 32);
    for (const char16_t c : wide)
        FUZZ_CHECK(c >= 0x20 && c != 0x7F && !(c >= 0x80 && c < 0xA0) && c != 0x2028 && c != 0x2029 && c != 0x061C &&
                   c != 0x200E && c != 0x200F && !(c >= 0x202A && c <= 0x202E) && !(c >= 0x2066 && c <= 0x2069));
    const std::string whole = escape_controls(text);
    FUZZ_CHECK(line == whole || line.compare(0, line.find("...("), whole, 0, line.find("...(")) == 0);
    return 0;
}
