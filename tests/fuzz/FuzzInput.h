// Cuts a fuzzer's input into texts at its zero bytes; each text gets a buffer of its own.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <memory>
#include <vector>

struct FuzzInput {
    std::vector<std::unique_ptr<char[]>> texts;
    std::vector<char*> pointers;

    // Always at least `least` texts; the missing ones are empty.
    FuzzInput(const uint8_t* data, size_t size, size_t least)
    {
        size_t start = 0;
        for (size_t i = 0; i <= size; ++i) {
            if (i == size || data[i] == 0) {
                Add(data + start, i - start);
                start = i + 1;
            }
        }
        while (texts.size() < least)
            Add(data, 0);
    }
    // Exactly as long as the text: a read past its terminator is a finding.
    void Add(const uint8_t* from, size_t count)
    {
        texts.emplace_back(new char[count + 1]);
        memcpy(texts.back().get(), from, count);
        texts.back()[count] = '\0';
        pointers.push_back(texts.back().get());
    }
    const char* operator[](size_t i) const { return texts[i].get(); }
    long Number(size_t i) const { return strtol(texts[i].get(), nullptr, 10); }
};

// A broken rule is a finding, reported like a crash.
#define FUZZ_CHECK(condition) ((condition) ? (void)0 : abort())
