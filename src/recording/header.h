// Decoding of the 320-byte annotated Au header a scanning receiver writes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

constexpr std::size_t HEADER_SIZE = 320;
constexpr std::size_t TEXT_FIELD_SIZE = 17;
constexpr std::uint32_t AU_MAGIC = 0x2E736E64; // ".snd"

// Texts hold the bytes before the field's first NUL; a field with no NUL
// keeps all 17 bytes, so 18 bytes always leave room for the terminator.
using HeaderText = char[TEXT_FIELD_SIZE + 1];

struct RecordingHeader {
    std::uint64_t file_size;
    std::uint32_t data_offset;
    std::uint32_t sample_rate;
    std::uint64_t duration_seconds; // 0 when sample_rate is 0
    std::uint8_t record_type;
    std::uint8_t system_type;
    std::uint16_t second, minute, hour, day, month0, year1900;
    HeaderText alpha_tag, system_tag, info, site_tag, other;
    std::int32_t tgid1, tgid2, rid1, rid2, system_number;
    std::uint32_t freq1_hz, freq2_hz;
    std::uint16_t squelch_mode, squelch_value;
};

// True when the first HEADER_SIZE bytes carry the annotated header: a data
// offset of exactly 320 and the ".snd" magic. A plain Au file (offset 24)
// is not a receiver recording.
bool is_recording_header(const unsigned char* head);

// True when a file's name makes it a candidate: it ends in ".au" in any
// letter case (a file named just ".au" too).
bool has_au_suffix(const char* name);

// Decodes every field. The caller has checked is_recording_header.
RecordingHeader decode_recording_header(const unsigned char* head, std::uint64_t file_size);

// The header of a candidate file from the got bytes read from its start
// and its size; nothing when the file is shorter than the header or
// foreign. The size is compared in 64 bits: a file of 4 GiB and more is
// never taken for a short one.
std::optional<RecordingHeader> decode_recording(const unsigned char* head, std::size_t got,
                                                std::uint64_t size);
