// Arbitrary bytes through header decoding and row writing. The input is a
// header (its first 320 bytes), then optionally four bytes of audio length
// and a path. Every row written must parse back as CSV into 20 columns (5
// for an unknown record type), on one line.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "recording/header.h"
#include "recording/row.h"

static void check_row(const char* row, std::size_t len, bool unknown_type)
{
    int columns = 1;
    bool quoted = false;
    for (std::size_t i = 0; i < len; i++) {
        char c = row[i];
        if (c == '"')
            quoted = !quoted; // a doubled quote toggles twice
        else if (c == ',' && !quoted)
            columns++;
        else if (c == '\n' && !quoted && i != len - 1)
            std::abort();
    }
    if (quoted || len == 0 || row[len - 1] != '\n' || columns != (unknown_type ? 5 : 20))
        std::abort();
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < HEADER_SIZE)
        return 0;
    std::uint64_t audio = size - HEADER_SIZE;
    std::string path = "p.au";
    if (size >= HEADER_SIZE + 4) {
        const std::uint8_t* a = data + HEADER_SIZE;
        audio = std::uint64_t{a[0]} << 32 | std::uint64_t{a[1]} << 24 | a[2] << 16 | a[3] << 8;
        path.assign(reinterpret_cast<const char*>(a + 4), size - HEADER_SIZE - 4);
        path.resize(std::strlen(path.c_str())); // a path holds no NUL
    }
    if (!is_recording_header(data) && data[0] % 2)
        return 0; // half the foreign headers are decoded anyway

    RecordingHeader h = decode_recording_header(data, HEADER_SIZE + audio);
    char* row = nullptr;
    std::size_t len = 0;
    std::FILE* out = open_memstream(&row, &len);
    write_catalogue_row(out, path.c_str(), h);
    std::fclose(out);
    check_row(row, len, h.record_type > 2);
    std::free(row);
    return 0;
}
