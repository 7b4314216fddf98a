#ifndef MCUSIM_SENDCOMMANDS_H
#define MCUSIM_SENDCOMMANDS_H

// The commands that send one record to the launcher ("key 1 2", "time 0",
// "hex 01 02"), as a table: each entry turns its arguments into the bytes.

#include "words.h"

#include <string>

namespace mcusim {

struct SendArgs;

struct SendCommand {
    const char *name;
    const char *usage; // the whole command, for "usage: ..." and help
    size_t minArgs;
    size_t maxArgs;    // kAnyArgs: unbounded
    bool (*encode)(const SendArgs &args, Bytes *out);
};
constexpr size_t kAnyArgs = size_t(-1);

// The entry for a name, or null.
const SendCommand *findSendCommand(const std::string &name);
const std::vector<SendCommand> &sendCommands();

// Encodes the send command that starts at words[at]. False with *error on an
// unknown command or bad arguments.
bool encodeSend(const Words &words, size_t at, Bytes *out, std::string *error);

} // namespace mcusim

#endif // MCUSIM_SENDCOMMANDS_H
