// Cuts a fuzzer's input into texts at its zero bytes, each in a buffer exactly its size.
#pragma once

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

struct FuzzInput {
    std::vector<char*> texts;  // at least as many as asked for; the missing ones are empty

    FuzzInput(const uint8_t* data, size_t size, size_t least)
    {
        for (size_t start = 0, end = 0; end <= size; ++end) {
            if (end == size || data[end] == 0) {
                texts.push_back(strndup(reinterpret_cast<const char*>(data) + start, end - start));
                start = end + 1;
            }
        }
        while (texts.size() < least)
            texts.push_back(strdup(""));
    }
    ~FuzzInput()
    {
        for (char* text : texts)
            free(text);
    }
    const char* operator[](size_t i) const { return texts[i]; }
    long Number(size_t i) const { return strtol(texts[i], nullptr, 10); }
};

// A broken rule is a finding, reported like a crash.
#define FUZZ_CHECK(condition) ((condition) ? (void)0 : abort())

// A target's entry point; the block that follows it reads the input, cut into at least `least`
// texts, as `input`.
#define FUZZ_TARGET(least, input)                                               \
    static void FuzzOne(FuzzInput& input);                                      \
    extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)     \
    {                                                                           \
        FuzzInput input(data, size, least);                                     \
        FuzzOne(input);                                                         \
        return 0;                                                               \
    }                                                                           \
    static void FuzzOne(FuzzInput& input)
