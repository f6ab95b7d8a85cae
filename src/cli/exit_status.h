#pragma once
// The exit statuses of every quillon-cli subcommand, in one place.

#include <string_view>

namespace quillon::cli {

inline constexpr int kExitSuccess = 0;
/// The command could not do its own part of the work (an output file cannot be written,
/// the port list cannot be read).
inline constexpr int kExitFailure = 1;
/// Wrong usage: unknown option, missing argument, a value out of range.
inline constexpr int kExitUsage = 2;

/// End of input at the boot-mode message: nothing was sent.
inline constexpr int kExitCancelled = 3;

/// With several ports: at least one did not finish with message 205.
inline constexpr int kExitSomePortsFailed = 17;

/// quillon-cli doctor found something that stops an update.
inline constexpr int kExitDoctorFound = 18;

/// --expect-sha256: the update file's image is not the one expected; nothing was sent.
inline constexpr int kExitWrongImage = 19;

/// station: the run records cannot be kept (their file was deleted or replaced, a unit's row
/// could not be written even at the end); the station stopped taking boards.
inline constexpr int kExitRecords = 20;

/// station: the serial numbers ran past what the stamp holds, or one could not be stamped; the
/// station stopped taking boards.
inline constexpr int kExitStationHalted = 21;

/// station: a pool has no free value left (or its next value does not fit its stamp); the
/// station stopped taking boards, and nothing was sent to a board that got no value.
inline constexpr int kExitPoolEmpty = 22;

/// A run that a signal stopped (Ctrl-C, SIGTERM): 128 + SIGINT, as shells report it.
inline constexpr int kExitInterrupted = 130;

/// A failure that an update reports as message 500 to 506 exits with 10 to 16.
constexpr int ExitForMessage(int message_id) { return 10 + (message_id - 500); }

inline constexpr std::string_view kExitStatusHelp =
    "Exit status:\n"
    "  0   success\n"
    "  1   the command's own output could not be made (file not writable, ...), or the record\n"
    "      server (--fleet) cannot be reached\n"
    "  2   wrong usage\n"
    "  3   cancelled before anything was sent (n, q or end of input at message 202)\n"
    "  10  [500] boot file not found\n"
    "  11  [501] update file not found\n"
    "  12  [502] sending the boot program failed\n"
    "  13  [503] sending the update failed\n"
    "  14  [504] the port cannot be opened\n"
    "  15  [505] the update file's contents are wrong\n"
    "  16  [506] the boot file's contents are wrong\n"
    "  17  at least one of several ports failed (the summary says which); station: at least one\n"
    "      unit failed\n"
    "  18  doctor: something stops an update (the lines marked FAIL)\n"
    "  19  --expect-sha256: the update file is not the one expected; nothing was sent\n"
    "  20  station: the run records cannot be kept (their file was deleted or replaced, or a unit's\n"
    "      row could not be written); the station stopped taking boards\n"
    "  21  station: the next serial number does not fit the stamp, or could not be stamped; the\n"
    "      station stopped taking boards\n"
    "  22  station: a pool is empty (or its next value does not fit --pool-at); the station stopped\n"
    "      taking boards\n"
    "  130  interrupted (Ctrl-C, SIGTERM): each port's log has the record INTERRUPTED\n";

}  // namespace quillon::cli
