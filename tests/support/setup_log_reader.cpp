#include "tests/support/setup_log_reader.h"

#include "tests/support/testbed.h"

namespace {

constexpr char kUtf8Mark[] = "\xEF\xBB\xBF";
constexpr size_t kTimeLength = 23;  // yyyy-mm-dd hh:mm:ss.mmm

}  // namespace

std::vector<LogLine> ParseLog(const std::string& bytes) {
    std::vector<LogLine> lines;
    const std::string text = bytes.rfind(kUtf8Mark, 0) == 0 ? bytes.substr(3) : bytes;
    size_t start = 0;
    for (size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2) {
        const std::string line = text.substr(start, end - start);
        if (line.size() > kTimeLength + 3 && line.compare(kTimeLength, 3, " | ") == 0) {
            lines.push_back({line.substr(0, kTimeLength), line.substr(kTimeLength + 3)});
        } else {
            lines.push_back({"", line});
        }
    }
    return lines;
}

std::vector<LogLine> ReadLog(const std::wstring& path) {
    std::string bytes;
    return testbed::ReadFileBytes(path, bytes) ? ParseLog(bytes) : std::vector<LogLine>{};
}

bool LinesInOrder(const std::vector<LogLine>& lines, const std::vector<std::string>& wanted) {
    size_t next = 0;
    for (const LogLine& line : lines) {
        if (next < wanted.size() && line.rest.rfind(wanted[next], 0) == 0) ++next;
    }
    return next == wanted.size();
}

std::string DescribeLog(const std::vector<LogLine>& lines) {
    std::string text;
    for (const LogLine& line : lines) text += "  " + line.time + " | " + line.rest + "\n";
    return text;
}
