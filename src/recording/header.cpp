#include "recording/header.h"

#include <cstring>

// The Au words and most of the annotation are big-endian, but the receiver
// stores the date, the time and the system number little-endian, so every
// field is read with its own helper rather than through a struct overlay.
static std::uint16_t be16(const unsigned char* p)
{
    return static_cast<std::uint16_t>(p[0] << 8 | p[1]);
}

static std::uint32_t be32(const unsigned char* p)
{
    return std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 |
           std::uint32_t{p[3]};
}

static std::uint16_t le16(const unsigned char* p)
{
    return static_cast<std::uint16_t>(p[1] << 8 | p[0]);
}

static std::uint32_t le32(const unsigned char* p)
{
    return std::uint32_t{p[3]} << 24 | std::uint32_t{p[2]} << 16 | std::uint32_t{p[1]} << 8 |
           std::uint32_t{p[0]};
}

static std::int32_t as_signed(std::uint32_t v)
{
    std::int32_t s;
    std::memcpy(&s, &v, sizeof s);
    return s;
}

static void copy_text(HeaderText& dst, const unsigned char* src)
{
    const void* nul = std::memchr(src, 0, TEXT_FIELD_SIZE);
    std::size_t n = nul ? static_cast<std::size_t>(static_cast<const unsigned char*>(nul) - src)
                        : TEXT_FIELD_SIZE;
    std::memcpy(dst, src, n);
    dst[n] = '\0';
}

bool is_recording_header(const unsigned char* head)
{
    return be32(head + 4) == HEADER_SIZE && be32(head) == AU_MAGIC;
}

RecordingHeader decode_recording_header(const unsigned char* head, std::uint64_t file_size)
{
    RecordingHeader h{};
    h.file_size = file_size;
    h.data_offset = be32(head + 4);
    h.sample_rate = be32(head + 16);
    if (h.sample_rate != 0 && file_size >= h.data_offset)
        h.duration_seconds = (file_size - h.data_offset) / h.sample_rate;

    h.record_type = head[24];
    h.second = le16(head + 25);
    h.minute = le16(head + 27);
    h.hour = le16(head + 29);
    h.day = le16(head + 31);
    h.month0 = le16(head + 33);
    h.year1900 = le16(head + 35);
    copy_text(h.alpha_tag, head + 43);
    copy_text(h.system_tag, head + 60);
    copy_text(h.info, head + 77);
    h.tgid1 = as_signed(be32(head + 98));
    h.tgid2 = as_signed(be32(head + 102));
    h.rid1 = as_signed(be32(head + 106));
    h.rid2 = as_signed(be32(head + 110));
    copy_text(h.site_tag, head + 114);
    h.system_number = as_signed(le32(head + 131));
    copy_text(h.other, head + 135);
    h.freq1_hz = be32(head + 152);
    h.freq2_hz = be32(head + 156);
    h.squelch_mode = be16(head + 160);
    h.squelch_value = be16(head + 162);
    h.system_type = head[164];
    return h;
}

std::optional<RecordingHeader> decode_recording(const unsigned char* head, std::size_t got,
                                                std::uint64_t size)
{
    if (got < HEADER_SIZE || size < HEADER_SIZE || !is_recording_header(head))
        return std::nullopt;
    return decode_recording_header(head, size);
}

bool has_au_suffix(const char* name)
{
    std::size_t n = std::strlen(name);
    return n >= 3 && name[n - 3] == '.' && (name[n - 2] | 0x20) == 'a' &&
           (name[n - 1] | 0x20) == 'u';
}
