// Must not compile: the formatter would not consume the value of FORM's first form, and
// every later value would meet the wrong form.
#include "core/TextFormat.h"

bool FormatWithUnsupportedForm(char* out)
{
    return FORMAT_TEXT(out, 64, FORM "|%s", 7, "x");
}
