// The reporter's command line: pairs of a switch and a value, as the calling client builds it.
// Pure functions over strings; any thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kt {

struct CReporterArgs {
    uint32_t m_hCaptureWnd = 0;      // -H: window to capture, 0 = the whole screen
    bool m_bDeleteAttach = false;    // -D: delete the archive after a successful report
    int32_t m_nAttachType = -1;      // -T: 0 screenshot, 1 archive, other = image file
    std::u16string m_strUserId;      // -U
    std::u16string m_strAttachPath;  // -P
};

// Applies one pair. False when the switch or the value is missing (a null pointer), when the switch
// is not a minus sign and exactly one letter, or when the letter is not one of D H P T U (either
// case). A later pair overwrites an earlier one; -D with a zero value leaves the flag as it was.
bool ParseArgPair(CReporterArgs& args, const std::u16string* pSwitch, const std::u16string* pValue);

// Takes the arguments after the program name (vecArgs[0] is the program) two at a time. Stops at
// the first bad pair and returns false; an odd count leaves the last switch without a value and so
// fails. Writes "%s - %s\n" per pair to the trace.
bool ParseCommandLine(CReporterArgs& args, const std::vector<std::u16string>& vecArgs);

}  // namespace kt
