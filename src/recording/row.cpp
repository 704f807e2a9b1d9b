#include "recording/row.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "recording/tables.h"

const char COLUMN_HEADER_ROW[] =
    "AUFile path,date,time,duration,alpha tag,type,tsys num,tsys type,tsys tag,site tag,"
    "tgid 1,tgid 2,rid 1,rid 2,freq 1,freq 2,sq mode,sq value,info,other\n";

// Rows are formatted by hand straight into the row's own memory, sized for
// the longest row first, so that formatting stays a small part of a
// recording's cost next to the system calls that read it.
namespace
{

// The longest row but for its path, with room to spare: five texts of 17
// double quotes, quoted, and the widest numbers and names come to 353.
constexpr std::size_t MAX_ROW_BESIDES_PATH = 512;

using RowWriter = char*; // where the next byte goes

// A list's names by index, found once rather than stepped over for every
// row: the tone and code lists run to 50 and 112 names.
using NameIndex = std::vector<const char*>;

NameIndex index_names(NameList list)
{
    NameIndex index;
    while (const char* name = name_at(list, index.size()))
        index.push_back(name);
    return index;
}

const NameIndex RECORD_TYPES = index_names(RECORD_TYPE_NAMES);
const NameIndex SYSTEM_TYPES = index_names(SYSTEM_TYPE_NAMES);
const NameIndex TONES = index_names(CTCSS_TONES);
const NameIndex CODES = index_names(DCS_CODES);

// The name at index, or null when the list has no such name.
const char* name_at(const NameIndex& index, std::size_t i)
{
    return i < index.size() ? index[i] : nullptr;
}

void put_char(RowWriter& w, char c)
{
    *w++ = c;
}

// Texts are short: a loop beats finding the length and calling memcpy.
void put_text(RowWriter& w, const char* s)
{
    while (*s)
        *w++ = *s++;
}

// Numbers are written straight into the row, their width known first, two
// decimal digits at a time from a table: half the divisions, and most
// numbers fit 32 bits, whose divisions by a constant are the cheaper.
constexpr char DIGIT_PAIRS[] =
    "00010203040506070809101112131415161718192021222324252627282930313233"
    "34353637383940414243444546474849505152535455565758596061626364656667"
    "6869707172737475767778798081828384858687888990919293949596979899";

template <typename Unsigned> int decimal_width(Unsigned v)
{
    int n = 1;
    for (; v >= 100; v /= 100)
        n += 2;
    return n + (v >= 10);
}

// printf's "%0*u": v in at least min_digits digits.
template <typename Unsigned> void put_decimal(RowWriter& w, Unsigned v, int min_digits)
{
    char* end = w + std::max(decimal_width(v), min_digits);
    char* p = end;
    for (; v >= 100; v /= 100) {
        p -= 2;
        std::memcpy(p, DIGIT_PAIRS + 2 * (v % 100), 2);
    }
    if (v >= 10) {
        p -= 2;
        std::memcpy(p, DIGIT_PAIRS + 2 * v, 2);
    } else {
        *--p = static_cast<char>('0' + v);
    }
    while (p > w)
        *--p = '0';
    w = end;
}

void put_uint(RowWriter& w, std::uint64_t v, int min_digits = 1)
{
    if (v < 100 && min_digits <= 2) { // dates, times, the seconds of a duration
        if (v < 10 && min_digits < 2) {
            *w++ = static_cast<char>('0' + v);
        } else {
            std::memcpy(w, DIGIT_PAIRS + 2 * v, 2);
            w += 2;
        }
    } else if (v <= UINT32_MAX) {
        put_decimal(w, static_cast<std::uint32_t>(v), min_digits);
    } else {
        put_decimal(w, v, min_digits);
    }
}

void put_int(RowWriter& w, std::int32_t v)
{
    std::int64_t wide = v;
    if (wide < 0)
        put_char(w, '-');
    put_decimal(w, static_cast<std::uint32_t>(wide < 0 ? -wide : wide), 1);
}

// printf's "%03X".
void put_hex(RowWriter& w, unsigned v)
{
    static const char DIGITS[] = "0123456789ABCDEF";
    int n = 3;
    while (v >> (4 * n))
        n++;
    for (int i = n - 1; i >= 0; i--)
        *w++ = DIGITS[(v >> (4 * i)) & 0xF];
}

// A CSV field in double quotes, with each double quote inside doubled.
void quote_field(RowWriter& w, const char* text)
{
    put_char(w, '"');
    for (; *text; text++) {
        if (*text == '"')
            put_char(w, '"');
        put_char(w, *text);
    }
    put_char(w, '"');
}

// Paths are written bare, byte for byte, unless they hold a character that
// would break the row's columns or lines.
void put_path(RowWriter& w, const std::string& path)
{
    if (std::strpbrk(path.c_str(), ",\"\r\n")) {
        quote_field(w, path.c_str());
    } else {
        std::memcpy(w, path.data(), path.size());
        w += path.size();
    }
}

void put_frequency(RowWriter& w, std::uint32_t hz)
{
    put_char(w, ',');
    put_uint(w, hz / 1000000);
    put_char(w, '.');
    put_uint(w, hz % 1000000, 6);
}

void put_name(RowWriter& w, const char* name)
{
    if (name)
        put_text(w, name);
}

void put_squelch(RowWriter& w, const RecordingHeader& h)
{
    switch (h.squelch_mode) {
    case 1:
        put_text(w, ",CTCSS,");
        put_name(w, name_at(TONES, h.squelch_value));
        break;
    case 2:
        put_text(w, ",DCS,");
        put_name(w, name_at(CODES, h.squelch_value));
        break;
    case 3:
        put_text(w, ",P25,");
        put_hex(w, h.squelch_value);
        break;
    default:
        put_text(w, ",,");
    }
}

} // namespace

// Returns where the row ends.
static char* put_row(RowWriter w, const std::string& path, const RecordingHeader& h)
{
    put_path(w, path);
    put_char(w, ',');
    put_uint(w, h.year1900 + 1900u, 4);
    put_char(w, '-');
    put_uint(w, h.month0 + 1u, 2);
    put_char(w, '-');
    put_uint(w, h.day, 2);
    put_char(w, ',');
    put_uint(w, h.hour, 2);
    put_char(w, ':');
    put_uint(w, h.minute, 2);
    put_char(w, ':');
    put_uint(w, h.second, 2);
    put_char(w, ',');
    // Without a sample rate there is no duration to give.
    if (h.sample_rate != 0) {
        put_uint(w, h.duration_seconds / 60);
        put_char(w, ':');
        put_uint(w, h.duration_seconds % 60, 2);
    }

    const char* type = name_at(RECORD_TYPES, h.record_type);
    if (!type) {
        put_text(w, ",unknown type\n");
        return w;
    }
    put_char(w, ',');
    quote_field(w, h.alpha_tag);
    put_char(w, ',');
    put_text(w, type);

    // Only a trunked talkgroup recording has a system and a site.
    if (h.record_type == 1) {
        put_char(w, ',');
        put_int(w, h.system_number);
        put_char(w, ',');
        put_name(w, name_at(SYSTEM_TYPES, h.system_type));
        put_char(w, ',');
        quote_field(w, h.system_tag);
        put_char(w, ',');
        quote_field(w, h.site_tag);
    } else {
        put_text(w, ",-1,,,");
    }

    for (std::int32_t id : {h.tgid1, h.tgid2, h.rid1, h.rid2}) {
        put_char(w, ',');
        put_int(w, id);
    }
    put_frequency(w, h.freq1_hz);
    put_frequency(w, h.freq2_hz);
    put_squelch(w, h);
    put_char(w, ',');
    quote_field(w, h.info);
    put_char(w, ',');
    quote_field(w, h.other);
    put_char(w, '\n');
    return w;
}

// The row is made in the thread's own buffer, sized for the longest row,
// and copied out: a row kept waiting for its turn holds no more memory
// than it needs.
void format_catalogue_row(std::string& row, const std::string& path, const RecordingHeader& h)
{
    thread_local std::string buffer;
    std::size_t longest = 2 * path.size() + MAX_ROW_BESIDES_PATH; // a quoted path doubles
    if (buffer.size() < longest)
        buffer.resize(longest);
    row.assign(&buffer[0], static_cast<std::size_t>(put_row(&buffer[0], path, h) - &buffer[0]));
}
