// Arbitrary bytes through header decoding and row writing: a header (the
// first 320 bytes), then optionally four bytes of audio length and a path.
// Every row must parse back as CSV into 20 columns (5 for an unknown record
// type) on one line.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "recording/header.h"
#include "recording/row.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < HEADER_SIZE || (!is_recording_header(data) && data[0] % 2))
        return 0; // half the foreign headers are decoded anyway
    const std::uint8_t* a = data + HEADER_SIZE;
    bool tail = size >= HEADER_SIZE + 4;
    std::uint64_t audio =
        tail ? std::uint64_t{a[0]} << 32 | std::uint64_t{a[1]} << 24 | a[2] << 16 | a[3] << 8
             : size - HEADER_SIZE;
    std::string path = "p.au";
    if (tail)
        path.assign(reinterpret_cast<const char*>(a + 4), size - HEADER_SIZE - 4);
    path.resize(std::strlen(path.c_str())); // a path holds no NUL

    RecordingHeader h = decode_recording_header(data, HEADER_SIZE + audio);
    std::string row;
    format_catalogue_row(row, path, h);
    std::size_t len = row.size();
    int columns = 1;
    bool quoted = false;
    for (std::size_t i = 0; i < len; i++) {
        quoted ^= row[i] == '"'; // a doubled quote toggles twice
        columns += row[i] == ',' && !quoted;
        if (row[i] == '\n' && !quoted && i != len - 1)
            std::abort();
    }
    if (quoted || len == 0 || row[len - 1] != '\n' || columns != (h.record_type > 2 ? 5 : 20))
        std::abort();
    return 0;
}
