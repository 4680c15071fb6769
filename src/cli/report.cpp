// The figures after a run: the aligned table of --stats and the record of --json.
#include "cli/report.h"

#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <vector>

#include "cli/exit_codes.h"

namespace {

// A count with one decimal, rounded: 15 tenths give "1.5".
std::wstring tenthsText(long long tenths) { return std::to_wstring(tenths / 10) + L"." + std::to_wstring(tenths % 10); }

// Seconds with three decimals, rounded to the nearest millisecond.
std::wstring secondsText(int64_t microseconds) {
    int64_t milliseconds = (microseconds + 500) / 1000;
    std::wstring fraction = std::to_wstring(milliseconds % 1000);
    return std::to_wstring(milliseconds / 1000) + L"." + std::wstring(3 - fraction.size(), L'0') + fraction;
}

// Per second, from the time measured to the microsecond.
long long perSecond(long long count, int64_t microseconds) {
    long long spent = microseconds > 0 ? static_cast<long long>(microseconds) : 1;
    if (count > 9000000000000LL) return count / spent * 1000000;
    return count * 1000000 / spent;
}

const wchar_t* resultName(int exitStatus) {
    switch (exitStatus) {
        case EXIT_DONE: return L"done";
        case EXIT_HAD_ERRORS: return L"failures";
        case EXIT_WALK_STOPPED: return L"stopped";
        case EXIT_DELETES_HELD: return L"held back";
        default: return L"refused";
    }
}

void appendHex(std::wstring* out, unsigned unit) {
    wchar_t text[8];
    std::swprintf(text, 8, L"\\u%04x", unit & 0xFFFFu);
    *out += text;
}

}  // namespace

std::wstring byteText(long long bytes) {
    static const wchar_t* const units[] = {L"KiB", L"MiB", L"GiB", L"TiB", L"PiB", L"EiB"};
    if (bytes < 1024) return std::to_wstring(bytes) + L" B";
    // Tenths of the unit, rounded; the unit grows while the number has more than four digits.
    long double value = static_cast<long double>(bytes) / 1024.0L;
    size_t unit = 0;
    while (value >= 1024.0L && unit + 1 < sizeof units / sizeof units[0]) {
        value /= 1024.0L;
        ++unit;
    }
    return tenthsText(static_cast<long long>(value * 10.0L + 0.5L)) + L" " + units[unit];
}

std::wstring statsTable(const RunFigures& figures) {
    const RunTally& tally = figures.tally;
    long long examined = tally.directories + tally.files;
    struct Row {
        const wchar_t* label;
        std::wstring value;
        std::wstring note;
    };
    std::vector<Row> rows = {
        {L"Entries examined", std::to_wstring(examined),
         L"(" + std::to_wstring(tally.directories) + L" dirs, " + std::to_wstring(tally.files) + L" files)"},
        {L"Copied", std::to_wstring(tally.copied), L"files and links"},
        {L"Created", std::to_wstring(tally.created), L"dirs"},
        {L"Updated", std::to_wstring(tally.updated), L"in place: mode, owner, time, attributes alone"},
        {L"Deleted", std::to_wstring(tally.deleted), L"files, links and dirs"},
        {L"Moved", std::to_wstring(tally.moved), L"renamed in TO, neither copied nor deleted"},
        {L"Skipped", std::to_wstring(tally.skipped), L"by a rule, or not a plain file"},
        {L"Failed", std::to_wstring(tally.failed), L""},
        {L"Bytes copied", std::to_wstring(tally.bytes), L"(" + byteText(tally.bytes) + L")"},
        {L"Elapsed", secondsText(figures.microseconds), L"s"},
        {L"Rate", std::to_wstring(perSecond(examined, figures.microseconds)),
         L"entries/s, " + byteText(perSecond(tally.bytes, figures.microseconds)) + L"/s"},
    };
    // The net's rows only where it was asked for, before the times.
    std::vector<Row> net;
    if (figures.versions) {
        net.push_back(Row{L"Kept", std::to_wstring(tally.kept), L"versions of replaced or deleted entries"});
        net.push_back(Row{L"Expired", std::to_wstring(tally.expired), L"run folders of the versions folder"});
    }
    if (figures.guarded) net.push_back(Row{L"Held back", std::to_wstring(tally.heldBack), L"deletions (--max-delete)"});
    if (tally.replacesHeld > 0) {
        net.push_back(Row{L"Held back", std::to_wstring(tally.replacesHeld), L"replacements (the replacement guard)"});
    }
    // What was read and checked of the contents, where any was.
    if (tally.contentsCompared + tally.verified + tally.verifyFailed + tally.bytesHashed > 0) {
        net.push_back(Row{L"Compared", std::to_wstring(tally.contentsCompared), L"files read with their copies"});
        net.push_back(
            Row{L"Bytes hashed", std::to_wstring(tally.bytesHashed), L"(" + byteText(tally.bytesHashed) + L")"});
        net.push_back(Row{L"Verified", std::to_wstring(tally.verified), L"copies read back"});
        net.push_back(Row{L"Unverified", std::to_wstring(tally.verifyFailed), L"copies read back wrong: not kept"});
        net.push_back(Row{L"Damaged", std::to_wstring(tally.sourceDamaged),
                          L"sources changed without a write: their copies kept"});
        net.push_back(Row{L"Rewritten", std::to_wstring(tally.copyDamaged), L"damaged copies written again"});
    }
    rows.insert(rows.end() - 2, net.begin(), net.end());
    size_t labelWidth = 0;
    size_t valueWidth = 0;
    for (const Row& row : rows) {
        labelWidth = std::max(labelWidth, std::wcslen(row.label));
        valueWidth = std::max(valueWidth, row.value.size());
    }
    std::wstring text = figures.dryRun ? L"Dry run: what a run would do\n" : L"";
    for (const Row& row : rows) {
        std::wstring line = row.label;
        line += std::wstring(labelWidth - line.size() + 2 + valueWidth - row.value.size(), L' ') + row.value;
        if (!row.note.empty()) line += L"  " + row.note;
        text += line + L"\n";
    }
    return text;
}

std::wstring statsLine(const RunFigures& figures) {
    const RunTally& tally = figures.tally;
    auto number = [](long long value) { return std::to_wstring(value); };
    std::wstring line = std::wstring(figures.dryRun ? L"figures of what a run would do: " : L"figures: ") +
                        number(tally.directories + tally.files) + L" examined (" + number(tally.directories) +
                        L" dirs, " + number(tally.files) + L" files), " + number(tally.copied) + L" copied, " +
                        number(tally.created) + L" created, " + number(tally.updated) + L" updated in place, " +
                        number(tally.deleted) + L" deleted, " + number(tally.moved) + L" moved, ";
    if (figures.versions) line += number(tally.kept) + L" kept, " + number(tally.expired) + L" expired, ";
    if (tally.heldBack > 0) line += number(tally.heldBack) + L" deletions held back, ";
    if (tally.replacesHeld > 0) line += number(tally.replacesHeld) + L" replacements held back, ";
    if (tally.contentsCompared + tally.verified + tally.verifyFailed + tally.bytesHashed > 0) {
        line += number(tally.contentsCompared) + L" compared, " + byteText(tally.bytesHashed) + L" hashed, " +
                number(tally.verified) + L" verified, " + number(tally.verifyFailed) + L" unverified, " +
                number(tally.sourceDamaged) + L" damaged sources held back, " + number(tally.copyDamaged) +
                L" damaged copies rewritten, ";
    }
    return line + number(tally.skipped) + L" skipped, " + number(tally.failed) + L" failed, " + byteText(tally.bytes) +
           L" copied, " + secondsText(figures.microseconds) + L" s";
}

std::wstring jsonString(const std::wstring& text) {
    std::wstring out = L"\"";
    for (size_t i = 0; i < text.size(); ++i) {
        unsigned long unit = static_cast<unsigned long>(text[i]);
        if (unit == L'"' || unit == L'\\') {
            out += L'\\';
            out += static_cast<wchar_t>(unit);
        } else if (unit >= 0x20 && unit < 0x7F) {
            out += static_cast<wchar_t>(unit);
        } else if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < text.size() &&
                   static_cast<unsigned long>(text[i + 1]) >= 0xDC00 &&
                   static_cast<unsigned long>(text[i + 1]) <= 0xDFFF) {
            appendHex(&out, static_cast<unsigned>(unit));  // a pair, as 16-bit text holds it
            appendHex(&out, static_cast<unsigned>(text[++i]));
        } else if ((unit >= 0xD800 && unit <= 0xDFFF) || unit > 0x10FFFF) {
            appendHex(&out, 0xFFFD);
        } else if (unit > 0xFFFF) {
            unsigned long above = unit - 0x10000;
            appendHex(&out, static_cast<unsigned>(0xD800 + (above >> 10)));
            appendHex(&out, static_cast<unsigned>(0xDC00 + (above & 0x3FF)));
        } else {
            appendHex(&out, static_cast<unsigned>(unit));
        }
    }
    return out + L"\"";
}

std::wstring statsJson(const RunFigures& figures, const std::vector<FailureNote>& failures, long long failuresLeftOut) {
    const RunTally& tally = figures.tally;
    auto number = [](long long value) { return std::to_wstring(value); };
    std::wstring text =
        L"{\"result\":" + jsonString(resultName(figures.exitStatus)) + L",\"exit_status\":" +
        number(figures.exitStatus) + L",\"run_code\":" + number(figures.runResult) + L",\"reason\":" +
        jsonString(figures.reason) + L",\"dry_run\":" + (figures.dryRun ? L"true" : L"false") +
        L",\"examined\":{\"directories\":" + number(tally.directories) + L",\"files\":" + number(tally.files) +
        L"},\"copied\":" + number(tally.copied) + L",\"created\":" + number(tally.created) + L",\"updated\":" +
        number(tally.updated) + L",\"deleted\":" + number(tally.deleted) + L",\"skipped\":" + number(tally.skipped) +
        L",\"failed\":" + number(tally.failed) + L",\"bytes_copied\":" + number(tally.bytes) + L",\"kept\":" +
        number(tally.kept) + L",\"expired\":" + number(tally.expired) + L",\"held_back\":" + number(tally.heldBack) +
        L",\"replacements_held\":" + number(tally.replacesHeld) + L",\"moved\":" + number(tally.moved) +
        L",\"contents\":{\"compared\":" + number(tally.contentsCompared) + L",\"bytes_hashed\":" +
        number(tally.bytesHashed) + L",\"verified\":" + number(tally.verified) + L",\"verify_failed\":" +
        number(tally.verifyFailed) + L",\"source_damaged\":" + number(tally.sourceDamaged) + L",\"copies_rewritten\":" +
        number(tally.copyDamaged) + L"}" + L",\"seconds\":" + secondsText(figures.microseconds) +
        L",\"entries_per_second\":" + number(perSecond(tally.directories + tally.files, figures.microseconds)) +
        L",\"bytes_per_second\":" + number(perSecond(tally.bytes, figures.microseconds)) + L",\"failures\":[";
    for (size_t i = 0; i < failures.size(); ++i) {
        const FailureNote& failure = failures[i];
        if (i > 0) text += L",";
        text += L"{\"path\":" + jsonString(failure.path) +
                (failure.target.empty() ? L"" : L",\"target\":" + jsonString(failure.target)) + L",\"reason\":" +
                jsonString(failure.reason) + L",\"message\":" + jsonString(failure.message) + L"}";
    }
    return text + L"],\"failures_left_out\":" + number(failuresLeftOut) + L"}";
}
