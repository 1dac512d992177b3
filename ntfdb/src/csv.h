// The CSV export of log entries removed by the size deletion: one line per entry into daily
// files "<yymmdd><sequence>.csv" that roll over at a size limit, serialised over all processes
// by the mutex "NtcCsvMutex".
#pragma once

#include <cstdint>
#include <string>

#include "qm/platform/named_objects.h"

namespace qm::ntfdb {

// Where the lines go and how large a file may grow, worked out once per export pass.
struct CsvTarget {
    std::string folder;  // POSIX path
    int64_t limit = 150000;
};
CsvTarget ResolveCsvTarget();

// The size limit for a CSVFileSize value (thousands of bytes; out of 100..180 means 150).
int64_t CsvLimit(int thousands);

// The CSV line of a 404-byte log entry, without its line feed.
std::string CsvLine(const unsigned char* entry);

// The name of the file a line of `lineLength` bytes goes to on day `day` ("%y%m%d").
std::string CsvFileFor(const CsvTarget& target, const std::string& day, size_t lineLength);

// The mutex every writer of the CSV files holds; recursive, so an export pass may hold it
// around the single-line writes.
class CsvLock {
public:
    int Take();
    void Free();
    ~CsvLock() { Free(); }

private:
    platform::NamedMutex mutex_;
    bool held_ = false;
};

// Appends the line and a line feed to today's file under the CSV mutex; 0 or -1.
int WriteCsvLine(const CsvTarget& target, const std::string& line);

}  // namespace qm::ntfdb
