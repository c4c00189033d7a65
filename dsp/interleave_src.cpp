#include "dsp/interleave_src.h"

VOID EmptyFunction(const char* expression, const char* sourcePath, int line) {
    (void)expression;
    (void)sourcePath;
    (void)line;
}
