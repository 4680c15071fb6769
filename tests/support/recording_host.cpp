#include "support/recording_host.h"

#include "base/text_file.h"
#include "engine/run_context.h"
#include "platform/platform.h"

namespace {

void recordStatus(void* data, int kind, const wchar_t* text) {
    static_cast<RecordingHost*>(data)->statuses.emplace_back(kind, std::wstring(text));
}

bool recordQuestion(void* data, const wchar_t* text) {
    auto* host = static_cast<RecordingHost*>(data);
    host->questions.emplace_back(text);
    return host->answer;
}

bool recordCautiousQuestion(void* data, const wchar_t* text) {
    auto* host = static_cast<RecordingHost*>(data);
    host->cautiousQuestions.emplace_back(text);
    return host->cautiousAnswer;
}

void recordPump(void* data) {
    auto* host = static_cast<RecordingHost*>(data);
    ++host->pumps;
    if (host->onPump) host->onPump(host);
}

void recordReport(void* data, const RunReport* report) {
    auto* host = static_cast<RecordingHost*>(data);
    host->reports.emplace_back(report->kind, std::wstring(report->line));
    if (host->onReport) host->onReport(host);
}

}  // namespace

void RecordingHost::watchReports() { runContext.host.reported = recordReport; }

std::vector<std::wstring> RecordingHost::reported(int kind) const {
    std::vector<std::wstring> lines;
    for (const auto& report : reports) {
        if (report.first == kind) lines.push_back(report.second);
    }
    return lines;
}

void RecordingHost::install() {
    runContext.host = Host{recordStatus, recordQuestion, recordPump, this, nullptr, nullptr, recordCautiousQuestion};
    resetRunContext();
}

std::vector<std::wstring> RecordingHost::texts() const {
    std::vector<std::wstring> result;
    for (const auto& status : statuses) result.push_back(status.second);
    return result;
}

void FolderPairTest::SetUp() {
    host.install();
    fs::create_directories(temp.at("from"));
    fs::create_directories(temp.at("to"));
}

void FolderPairTest::TearDown() { resetRunContext(); }

std::vector<std::string> logLines(const fs::path& path) {
    std::string contents = readFile(path);
    std::string end = LINE_END;
    std::vector<std::string> lines;
    size_t start = 0;
    for (;;) {
        size_t found = contents.find(end, start);
        if (found == std::string::npos) break;
        lines.push_back(contents.substr(start, found - start));
        start = found + end.size();
    }
    if (start != contents.size()) lines.push_back("<unterminated>" + contents.substr(start));
    return lines;
}

std::string logText(const WideString& path) { return ToNarrowLossy(path).buffer; }
