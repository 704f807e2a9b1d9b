#include "fixture.h"

#include <cstdio>
#include <cstring>
#include <stdexcept>

static void put_be(std::string& b, std::size_t at, std::uint64_t v, int width)
{
    for (int i = width - 1; i >= 0; i--, v >>= 8)
        b[at + i] = static_cast<char>(v & 0xFF);
}

static void put_le(std::string& b, std::size_t at, std::uint64_t v, int width)
{
    for (int i = 0; i < width; i++, v >>= 8)
        b[at + i] = static_cast<char>(v & 0xFF);
}

// Up to 17 bytes; a 17-byte text leaves no room for the NUL.
static void put_text(std::string& b, std::size_t at, const std::string& text)
{
    std::memcpy(&b[at], text.data(), text.size() < 17 ? text.size() : 17);
}

std::string fixture_header(const Fixture& f)
{
    std::string b(320, '\0');
    put_be(b, 0, f.magic, 4);
    put_be(b, 4, f.data_offset, 4);
    put_be(b, 8, f.audio_bytes > 0xFFFFFFFEu ? 0xFFFFFFFFu : f.audio_bytes, 4);
    put_be(b, 12, f.encoding, 4);
    put_be(b, 16, f.sample_rate, 4);
    put_be(b, 20, f.channels, 4);
    b[24] = static_cast<char>(f.record_type);
    put_le(b, 25, f.second, 2);
    put_le(b, 27, f.minute, 2);
    put_le(b, 29, f.hour, 2);
    put_le(b, 31, f.day, 2);
    put_le(b, 33, f.month0, 2);
    put_le(b, 35, f.year1900, 2);
    put_text(b, 43, f.alpha_tag);
    put_text(b, 60, f.system_tag);
    put_text(b, 77, f.info);
    put_be(b, 98, static_cast<std::uint32_t>(f.tgid1), 4);
    put_be(b, 102, static_cast<std::uint32_t>(f.tgid2), 4);
    put_be(b, 106, static_cast<std::uint32_t>(f.rid1), 4);
    put_be(b, 110, static_cast<std::uint32_t>(f.rid2), 4);
    put_text(b, 114, f.site_tag);
    put_le(b, 131, static_cast<std::uint32_t>(f.system_number), 4);
    put_text(b, 135, f.other);
    put_be(b, 152, f.freq1_hz, 4);
    put_be(b, 156, f.freq2_hz, 4);
    put_be(b, 160, f.squelch_mode, 2);
    put_be(b, 162, f.squelch_value, 2);
    b[164] = static_cast<char>(f.system_type);
    return b;
}

std::string fixture_file(const Fixture& f)
{
    std::string b = fixture_header(f);
    // A soft square wave at 500 Hz, so the examples are real, audible audio.
    for (std::uint64_t i = 0; i < f.audio_bytes; i++)
        b.push_back(static_cast<char>((i / 8) % 2 ? 16 : -16));
    return b;
}

void write_file(const std::string& path, const std::string& bytes)
{
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f)
        throw std::runtime_error("cannot create " + path);
    bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    ok = std::fclose(f) == 0 && ok;
    if (!ok)
        throw std::runtime_error("cannot write " + path);
}

void write_fixture(const std::string& path, const Fixture& f)
{
    write_file(path, fixture_file(f));
}
