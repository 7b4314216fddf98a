#ifndef MCUSIM_LINEEDITOR_H
#define MCUSIM_LINEEDITOR_H

// The prompt's line editor on a terminal: editing keys, history, and a typed
// line that survives output printed above it. The simulator's loop owns it and
// feeds it: it never reads standard input by itself, never blocks the loop for
// longer than an escape sequence takes to arrive, and installs no signal
// handlers (Ctrl-C stays the simulator's).
//
// Built into the mcusim program only (lineeditor_libedit.cpp, or
// lineeditor_none.cpp where libedit is not there): the core library and its
// tests read lines as they come.

#include <functional>
#include <memory>
#include <string>

namespace mcusim {

class LineEditor
{
public:
    struct Hooks {
        std::function<std::string()> prompt;           // asked at every redraw
        std::function<void(const std::string &)> line; // a finished line, without its newline
        std::function<void()> end;                     // Ctrl-D on an empty line
    };

    virtual ~LineEditor() = default; // the terminal as it was; the history saved

    // Standard input is readable: takes the keys that are there.
    virtual void readKeys() = 0;
    // Writes text and a newline above the prompt and the typed line, which are
    // drawn again below it.
    virtual void printAbove(const std::string &text) = 0;
    // Draws the prompt again when Hooks::prompt now says something else.
    virtual void updatePrompt() = 0;
    // Nothing is typed on the line.
    virtual bool lineEmpty() const = 0;
    // Drops the typed line (Ctrl-C): a fresh prompt on the next line.
    virtual void dropLine() = 0;
    // The terminal is back after Ctrl-Z and fg, in the modes the shell left:
    // raw keys again, and the prompt and the typed line drawn again.
    virtual void resume() = 0;
};

// A line editor on standard input and output, or null where this build has
// none (the prompt then reads lines as they come).
std::unique_ptr<LineEditor> makeLineEditor(LineEditor::Hooks hooks);

} // namespace mcusim

#endif // MCUSIM_LINEEDITOR_H
