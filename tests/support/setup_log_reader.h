// Reads the setup log back for the tests that check what a run wrote there.
#pragma once

#include <string>
#include <vector>

// One line of the log: its time ("yyyy-mm-dd hh:mm:ss.mmm", empty when the line has none) and
// the rest ("stage | event | result ...").
struct LogLine {
    std::string time;
    std::string rest;
};

// The log's lines (UTF-8, CR LF), its UTF-8 mark skipped.
std::vector<LogLine> ParseLog(const std::string& bytes);
// The log at path, read and parsed; empty when it cannot be read.
std::vector<LogLine> ReadLog(const std::wstring& path);
// True when each of wanted begins some line, in this order (other lines may come between).
bool LinesInOrder(const std::vector<LogLine>& lines, const std::vector<std::string>& wanted);
// One line per log line, for failure messages.
std::string DescribeLog(const std::vector<LogLine>& lines);
