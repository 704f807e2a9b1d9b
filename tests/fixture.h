// Builds receiver recordings from field values: a genuine Au file (big-endian
// header words, 8-bit linear PCM by default) whose first 320 bytes carry the
// receiver's annotation block.
#pragma once

#include <cstdint>
#include <string>

struct Fixture {
    std::uint32_t magic = 0x2E736E64;
    std::uint32_t data_offset = 320;
    std::uint32_t encoding = 2; // 8-bit linear PCM
    std::uint32_t sample_rate = 8000;
    std::uint32_t channels = 1;
    std::uint8_t record_type = 0;
    std::uint16_t second = 9, minute = 3, hour = 7, day = 5, month0 = 0, year1900 = 117;
    std::string alpha_tag = "FIRE DISP";
    std::string system_tag, info, site_tag, other;
    std::int32_t tgid1 = 0, tgid2 = 0, rid1 = 0, rid2 = 0, system_number = 0;
    std::uint32_t freq1_hz = 154430000, freq2_hz = 0;
    std::uint16_t squelch_mode = 0, squelch_value = 0;
    std::uint8_t system_type = 0;
    std::uint64_t audio_bytes = 8000;
};

// The first 320 bytes.
std::string fixture_header(const Fixture& f);

// The whole file: the header and audio_bytes of a quiet tone.
std::string fixture_file(const Fixture& f);

void write_file(const std::string& path, const std::string& bytes);
void write_fixture(const std::string& path, const Fixture& f);
