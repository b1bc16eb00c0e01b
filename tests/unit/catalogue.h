// The message catalogue as the tests expect it: every ID and its exact text.
// Typed by hand, not generated from res/tarnelo.rc, so that a slip on either
// side shows; catalogue_test.cpp holds the launcher's resources to it, and
// the other tests read their expected texts from here.
#ifndef TARNELO_TEST_CATALOGUE_H
#define TARNELO_TEST_CATALOGUE_H

#include <windows.h>

#include <stddef.h>

namespace catalogue {

struct Entry {
    UINT id;
    const char* text;
};

inline const Entry kCatalogue[] = {
    {1, "The read function indicated that zero bytes were read"},
    {2, "The write function indicated that zero bytes were written"},
    {1001, "Failed to send read result to child process"},
    {1002, "Failed to send read data to child process"},
    {1003, "Failed to get write data from child process"},
    {1004, "Zero bytes were read when getting write data from child process"},
    {1005, "Failed to send write result to child process"},
    {1006, "Failed to create child->parent pipe for console output thread"},
    {1007, "Failed to duplicate write end of child->parent pipe for console output thread"},
    {1008, "Failed to allocate buffer for console output thread"},
    {1009, "Failed to get module handle for kernel32.dll"},
    {1010, "Failed to open console output file"},
    {1011, "Failed to create event for CTRL+C handling"},
    {1012, "Failed to create event for CTRL+BREAK handling"},
    {1013, "Failed to set control handler for process"},
    {1014, "Failed to get STDIN handle"},
    {1015, "Failed to get STDOUT handle"},
    {1016, "Failed to allocate primary buffer"},
    {1017, "Failed to create interprocess file mapping"},
    {1018, "Name already exists for interprocess file mapping"},
    {1019, "Failed to map view of interprocess data"},
    {1020, "Failed to create pipe for parent->child communication"},
    {1021, "Failed to duplicate read end of parent->child pipe"},
    {1022, "Failed to create pipe for child->parent communication"},
    {1023, "Failed to duplicate write end of child->parent pipe"},
    {1024, "Failed to open console input file"},
    {1025, "Failed to duplicate console input handle"},
    {1026, "Failed to create console output thread for STDOUT"},
    {1027, "Failed to duplicate STDOUT handle"},
    {1028, "Failed to create console output thread for STDERR"},
    {1029, "Failed to duplicate STDERR handle"},
    {1030, "Failed to create dedicated console output thread"},
    {1031, "Failed to read command sent from child process"},
    {3001, "No target file specified"},
    {3002, "Environment variable %1 too long"},
    {3003, "Failed to get full path name for %1"},
    {3004, "Full path name would exceed maximum length for file %1"},
    {3005, "Could not find file %1"},
    {3006, "Failed to find executable for file %1"},
    {4001, "A sharing violation occurred"},
    {4002, "Incomplete or invalid file association"},
    {4003, "DDE Time out"},
    {4004, "DDE transaction failed"},
    {4005, "DDE busy"},
    {4006, "There is no association for the file type"},
    {4007, "DLL not found"},
    {4008, "Unknown error"},
    {5005, "Failed to get module name"},
    {5006, "Module name length too short"},
    {5007, "Failed to get command line"},
    {5008, "Empty command line"},
    {5009, "Failed to allocate memory for generating command line"},
    {5010, "Failed to generate command line"},
    {5011, "Failed to run %1"},
};
inline const size_t kCatalogueSize = sizeof kCatalogue / sizeof kCatalogue[0];
static_assert(sizeof kCatalogue / sizeof kCatalogue[0] == 54, "the catalogue has 54 texts");

// IDs next to real ones that must stay empty.
inline const UINT kMissingIds[] = {0, 3, 1000, 1032, 2999, 3000, 3007, 4000, 4009, 5004, 5012, 65535};

// The IDs of the association lookup texts, which only ever follow
// "Shell error text: " and never stand as a report's message.
inline bool IsShellText(UINT id) { return id >= 4001 && id <= 4008; }

// The text of an ID, or NULL when the catalogue has none.
inline const char* Text(UINT id) {
    for (const Entry& entry : kCatalogue) {
        if (entry.id == id) return entry.text;
    }
    return NULL;
}

}  // namespace catalogue

#endif
