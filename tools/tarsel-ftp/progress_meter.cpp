#include "progress_meter.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <limits>
#include <vector>

#include "terminal_text.h"

namespace tarselftp {

namespace {

// A rate or a byte count in binary units to 3 significant figures: "305 MiB", "30.5 KiB",
// "3.05 GiB". A value that would round to 1000 or more goes up a unit ("0.98 MiB"), so the
// text stays within eight columns up to the largest unit.
std::string FormatBinary(double value) {
    static constexpr std::array<const char*, 5> kUnits = {"B", "KiB", "MiB", "GiB", "TiB"};
    std::size_t unit = 0;
    while (value >= 999.5 && unit + 1 < kUnits.size()) {
        value /= 1024;
        ++unit;
    }
    char text[64];
    if (unit == 0 && value == std::floor(value)) std::snprintf(text, sizeof text, "%.0f B", value);
    else if (value >= 99.95) std::snprintf(text, sizeof text, "%.0f %s", value, kUnits[unit]);
    else if (value >= 9.995) std::snprintf(text, sizeof text, "%.1f %s", value, kUnits[unit]);
    else std::snprintf(text, sizeof text, "%.2f %s", value, kUnits[unit]);
    return text;
}

bool IsUsableTime(double seconds) { return std::isfinite(seconds) && seconds > 0; }

// "0:03", "12:34", "1:02:03"; an estimate past 100 hours says nothing useful.
std::string FormatEta(double seconds) {
    if (!std::isfinite(seconds) || seconds >= 100 * 3600.0) return "--:--";
    const auto total = static_cast<std::uint64_t>(std::ceil(std::max(seconds, 0.0)));
    char text[32];
    if (total >= 3600)
        std::snprintf(text, sizeof text, "%u:%02u:%02u", static_cast<unsigned>(total / 3600),
                      static_cast<unsigned>(total / 60 % 60), static_cast<unsigned>(total % 60));
    else
        std::snprintf(text, sizeof text, "%u:%02u", static_cast<unsigned>(total / 60),
                      static_cast<unsigned>(total % 60));
    return text;
}

// Columns a code point takes on a terminal: East Asian wide and fullwidth forms take two,
// combining marks none. The ranges are the blocks a file name is likely to use.
int CodePointColumns(char32_t c) {
    if ((c >= 0x0300 && c <= 0x036F) || (c >= 0x200B && c <= 0x200F) || (c >= 0xFE00 && c <= 0xFE0F) ||
        (c >= 0x3099 && c <= 0x309A))
        return 0;
    if ((c >= 0x1100 && c <= 0x115F) || (c >= 0x2E80 && c <= 0x303E) || (c >= 0x3041 && c <= 0x33FF) ||
        (c >= 0x3400 && c <= 0x4DBF) || (c >= 0x4E00 && c <= 0x9FFF) || (c >= 0xA000 && c <= 0xA4CF) ||
        (c >= 0xAC00 && c <= 0xD7A3) || (c >= 0xF900 && c <= 0xFAFF) || (c >= 0xFE30 && c <= 0xFE4F) ||
        (c >= 0xFF00 && c <= 0xFF60) || (c >= 0xFFE0 && c <= 0xFFE6) || (c >= 0x1F300 && c <= 0x1F64F) ||
        (c >= 0x1F900 && c <= 0x1F9FF) || (c >= 0x20000 && c <= 0x3FFFD))
        return 2;
    return 1;
}

// One character of text already made safe by ShowControlCharacters (so well-formed UTF-8).
struct Glyph {
    std::size_t offset, length;
    int columns;
};

std::vector<Glyph> Glyphs(std::string_view text) {
    std::vector<Glyph> glyphs;
    std::size_t i = 0;
    while (i < text.size()) {
        const auto lead = static_cast<unsigned char>(text[i]);
        std::size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
        if (i + length > text.size()) length = text.size() - i;
        char32_t c = length == 1 ? lead : lead & (0x7F >> length);
        for (std::size_t k = 1; k < length; ++k)
            c = (c << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
        glyphs.push_back({i, length, CodePointColumns(c)});
        i += length;
    }
    return glyphs;
}

int Columns(std::string_view text) {
    int columns = 0;
    for (const Glyph& g : Glyphs(text)) columns += g.columns;
    return columns;
}

// `name` in exactly `width` columns: padded, or cut from the left behind "..." so that its
// end, where the extension is, stays in view.
std::string FitName(const std::string& name, int width) {
    if (width <= 0) return {};
    const std::vector<Glyph> glyphs = Glyphs(name);
    int columns = 0;
    for (const Glyph& g : glyphs) columns += g.columns;
    if (columns <= width) return name + std::string(static_cast<std::size_t>(width - columns), ' ');
    const std::string_view ellipsis = width >= 4 ? "..." : "";
    const int room = width - static_cast<int>(ellipsis.size());
    int used = 0;
    std::size_t start = name.size();
    for (auto it = glyphs.rbegin(); it != glyphs.rend() && used + it->columns <= room; ++it) {
        used += it->columns;
        start = it->offset;
    }
    // A wide character that does not fit leaves one column over.
    return std::string(ellipsis) + name.substr(start) + std::string(static_cast<std::size_t>(room - used), ' ');
}

std::string BuildLine(std::string_view rawName, std::uint64_t done, std::optional<std::uint64_t> total,
                      double seconds, int width, bool withEta, std::uint64_t already) {
    if (width <= 0) return {};
    const std::string name = ShowControlCharacters(rawName);
    const bool timed = IsUsableTime(seconds);
    // Only what moved in this transfer: a resumed file's first part took no time now.
    const double rate = timed ? static_cast<double>(done > already ? done - already : 0) / seconds : 0;

    // The figures in the order they are dropped when columns run short: last first.
    std::vector<std::string> fields;
    char text[64];
    std::snprintf(text, sizeof text, "%8s", FormatBinary(static_cast<double>(done)).c_str());
    fields.push_back(text);
    if (total) {
        const double percent = *total == 0 ? 100.0 : std::min(100.0, 100.0 * static_cast<double>(done) /
                                                                         static_cast<double>(*total));
        std::snprintf(text, sizeof text, "%3d%%", static_cast<int>(percent));
        fields.push_back(text);
    }
    if (timed) {
        std::snprintf(text, sizeof text, "%8s/s", FormatBinary(rate).c_str());
        fields.push_back(text);
    }
    if (total && timed && withEta) {
        const double left = done >= *total ? 0.0 : static_cast<double>(*total - done);
        fields.push_back("ETA " + (left == 0   ? std::string("0:00")
                                   : rate > 0 ? FormatEta(left / rate)
                                              : std::string("--:--")));
    }

    // The name keeps at least this many columns while figures can still be dropped.
    const int nameColumns = Columns(name);
    const int minimumName = std::min(nameColumns, 12);
    for (std::size_t keep = fields.size(); keep > 0; --keep) {
        std::string figures;
        for (std::size_t k = 0; k < keep; ++k) figures += "  " + fields[k];
        const int room = width - static_cast<int>(figures.size());
        if (room >= minimumName) return FitName(name, room) + figures;
    }
    return FitName(name, width);
}

}  // namespace

std::string FormatTransferSummary(std::uint64_t bytes, double seconds) {
    const double shown = IsUsableTime(seconds) ? seconds : 0.0;
    char text[128];
    std::snprintf(text, sizeof text, "%llu %s in %.2f s", static_cast<unsigned long long>(bytes),
                  bytes == 1 ? "byte" : "bytes", shown);
    std::string summary = text;
    if (IsUsableTime(seconds)) summary += " (" + FormatBinary(static_cast<double>(bytes) / seconds) + "/s)";
    return summary;
}

std::string FormatProgressLine(std::string_view name, std::uint64_t done,
                               std::optional<std::uint64_t> total, double seconds, int width,
                               std::uint64_t already) {
    return BuildLine(name, done, total, seconds, width, true, already);
}

ProgressMeter::ProgressMeter(std::string name, std::optional<std::uint64_t> total, std::uint64_t already)
    : m_Name(std::move(name)), m_Total(total), m_Already(already) {}

std::optional<std::string> ProgressMeter::Update(std::uint64_t done, double now, int width) {
    // The margin keeps ten draws a second when the caller's tick lands on 100 ms exactly
    // and the subtraction rounds below it; a time going backwards draws and starts over.
    constexpr double kInterval = 0.1 - 1e-9;
    if (m_LastDraw && now >= *m_LastDraw && now - *m_LastDraw < kInterval) return std::nullopt;
    m_LastDraw = now;
    return BuildLine(m_Name, done, m_Total, now, width, true, m_Already);
}

std::string ProgressMeter::Final(std::uint64_t done, double now, int width) {
    m_LastDraw = now;
    return BuildLine(m_Name, done, m_Total, now, width, false, m_Already);
}

}  // namespace tarselftp
