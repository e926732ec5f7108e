// scanlog play: a log's records on standard output as a scan file, at the log's pace, with
// keys when standard input is a terminal.
#include <cstdio>
#include <unistd.h>

#include "commands.hpp"
#include "play/real_play.hpp"

int runPlay(const std::string& input, const PlayOptions& options) {
    const PlayOutcome outcome = playLog(input, options, STDOUT_FILENO, -1, false);
    const std::string message = outcomeMessage(outcome, input, options, "standard output");
    // A log that could not be played at all gets its error alone.
    if (outcome.written > 0 || message.empty()) std::fprintf(stderr, "%s\n", outcome.summary.c_str());
    if (!message.empty()) std::fprintf(stderr, "%s\n", message.c_str());
    std::fflush(stderr);
    if (outcome.end == PlayEnd::signal) endBySignal(outcome.signal);
    // A reader that goes away (| head, the viewer's window closed) ends the play as asked.
    return message.empty() ? 0 : isUsageError(message) ? kUsageStatus : 1;
}
