// A host that records what the engine shows and answers its question as told.
#ifndef KORVANE_TESTS_RECORDING_HOST_H
#define KORVANE_TESTS_RECORDING_HOST_H

#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "support/test_support.h"

// What one run showed and asked.
struct RecordingHost {
    std::vector<std::pair<int, std::wstring>> statuses;  // (kind, text) in order
    std::vector<std::wstring> questions;                 // texts asked
    bool answer = true;                                  // the answer to every question
    std::vector<std::wstring> cautiousQuestions;         // texts asked with No for the default
    bool cautiousAnswer = false;                         // the answer to each of those
    int pumps = 0;                                       // pumpMessages calls
    void (*onPump)(RecordingHost*) = nullptr;            // run at each pump, if set
    std::vector<std::pair<int, std::wstring>> reports;   // (kind, line) of each report, once watched
    void (*onReport)(RecordingHost*) = nullptr;          // run after each report, if set

    // Installs this host in runContext and resets the run state.
    void install();
    // Records every report of the runs from now on (failures then come here, not as statuses).
    void watchReports();
    // The lines of the reports of a kind, in order.
    std::vector<std::wstring> reported(int kind) const;
    // The status texts alone, in order.
    std::vector<std::wstring> texts() const;
};

// A From and a To folder in a fresh temporary folder, with a recording host.
struct FolderPairTest : testing::Test {
    TempDir temp;
    RecordingHost host;
    WideString from = temp.wide("from");
    WideString to = temp.wide("to");
    void SetUp() override;
    void TearDown() override;
};

// The lines of a log file, split at the platform's line end (none left behind).
std::vector<std::string> logLines(const fs::path& path);

// The path text as the log writes it.
std::string logText(const WideString& path);

#endif
