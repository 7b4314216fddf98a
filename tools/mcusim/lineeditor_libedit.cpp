// The prompt's line editor with libedit's own interface (histedit.h), used
// key by key (EL_UNBUFFERED) from the simulator's poll loop.
//
// Why not the readline-compatible layer: output printed while a line is typed
// has to erase the prompt and the typed line and draw them again below, which
// needs the cursor's place in the line (el_line) and a full redraw
// (EL_REFRESH); the compatible layer keeps neither current in callback mode.
// Keys come through our own reader (EL_GETCFN): libedit's would block the loop
// on a lone Escape until the next key, and turns a non-blocking descriptor
// back into a blocking one.
//
// The output is ANSI (carriage return, cursor up, erase below), as on every
// terminal a desk has.

#include "lineeditor.h"

#include <histedit.h>

#include <cerrno>
#include <climits>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

namespace mcusim {

namespace {

constexpr int kHistoryLines = 1000;
// How long the rest of a key's escape sequence may take once its first byte is there.
constexpr int kSequenceMs = 100;
// Bytes taken in one turn of the loop: a long paste must not starve the link.
constexpr int kBytesPerTurn = 4096;

// $XDG_STATE_HOME/mcusim/history, else ~/.local/state/mcusim/history; empty
// when neither is an absolute path.
std::string historyPath()
{
    const char *state = std::getenv("XDG_STATE_HOME");
    const char *home = std::getenv("HOME");
    if (state && state[0] == '/')
        return std::string(state) + "/mcusim/history";
    if (home && home[0] == '/')
        return std::string(home) + "/.local/state/mcusim/history";
    return std::string();
}

bool inputReady(int timeoutMs)
{
    pollfd p{STDIN_FILENO, POLLIN, 0};
    int r;
    while ((r = ::poll(&p, 1, timeoutMs)) < 0 && errno == EINTR) {
    }
    return r > 0;
}

class EditLineEditor final : public LineEditor
{
public:
    explicit EditLineEditor(Hooks hooks);
    ~EditLineEditor() override;
    bool usable() const { return m_el && m_history; }

    void readKeys() override;
    void printAbove(const std::string &text) override;
    void updatePrompt() override;
    bool lineEmpty() const override;
    void dropLine() override;
    void resume() override;

private:
    static EditLineEditor *of(EditLine *el);
    static char *promptOf(EditLine *el);
    static int readChar(EditLine *el, wchar_t *c);

    // The prompt and the typed line leave the screen; the cursor stands where
    // the prompt began.
    void erase();
    // A fresh empty line with the prompt drawn from the cursor (libedit's own
    // start of a line: the history position goes back to its end, too).
    void restart();
    void finishLine(const char *buf, int count);

    Hooks m_hooks;
    EditLine *m_el = nullptr;
    History *m_history = nullptr;
    HistEvent m_event{};
    std::string m_prompt; // as last drawn
    std::string m_historyPath;
    bool m_between = false; // a finished line is being handled: no prompt on the screen
    bool m_eof = false;
    int m_bytes = 0; // taken this turn
};

EditLineEditor *EditLineEditor::of(EditLine *el)
{
    void *self = nullptr;
    el_get(el, EL_CLIENTDATA, &self);
    return static_cast<EditLineEditor *>(self);
}

char *EditLineEditor::promptOf(EditLine *el)
{
    EditLineEditor *self = of(el);
    self->m_prompt = self->m_hooks.prompt();
    return &self->m_prompt[0];
}

// One character for libedit: 1, 0 at the end of input, -1 when the rest of
// a sequence does not come (the loop goes on; libedit keeps what it had).
int EditLineEditor::readChar(EditLine *el, wchar_t *c)
{
    EditLineEditor *self = of(el);
    char bytes[MB_LEN_MAX];
    size_t n = 0;
    std::mbstate_t state{};
    for (;;) {
        if (!inputReady(kSequenceMs)) {
            errno = EAGAIN;
            return -1;
        }
        const ssize_t r = ::read(STDIN_FILENO, bytes + n, 1);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0) {
            self->m_eof = r == 0;
            return r == 0 ? 0 : -1;
        }
        ++self->m_bytes;
        ++n;
        const size_t k = std::mbrtowc(c, bytes, n, &state);
        if (k == size_t(-2) && n < sizeof bytes)
            continue; // more bytes of one character
        if (k == size_t(-1) || k == size_t(-2))
            *c = wchar_t(static_cast<unsigned char>(bytes[0])); // not in the locale's encoding: the byte as it is
        return 1;
    }
}

EditLineEditor::EditLineEditor(Hooks hooks) : m_hooks(std::move(hooks))
{
    // Typed text in the terminal's encoding; only the prompt on a terminal
    // sets it, so scenarios and piped input read bytes as before.
    std::setlocale(LC_CTYPE, "");
    m_el = el_init("mcusim", stdin, stdout, stderr);
    m_history = history_init();
    if (!usable())
        return;
    history(m_history, &m_event, H_SETSIZE, kHistoryLines);
    history(m_history, &m_event, H_SETUNIQUE, 1);
    m_historyPath = historyPath();
    if (!m_historyPath.empty())
        history(m_history, &m_event, H_LOAD, m_historyPath.c_str()); // none yet: an empty history
    el_set(m_el, EL_CLIENTDATA, this);
    el_set(m_el, EL_SIGNAL, 0); // Ctrl-C, SIGTERM and SIGCHLD stay the simulator's
    el_set(m_el, EL_EDITOR, "emacs");
    // Home and End also as the terminals that send \e[1~ and \e[4~. Ctrl-R
    // redraws: libedit's incremental search, used key by key, ends its line
    // with the search prompt in it.
    el_set(m_el, EL_BIND, "^R", "ed-redisplay", nullptr);
    el_set(m_el, EL_BIND, "\\e[1~", "ed-move-to-beg", nullptr);
    el_set(m_el, EL_BIND, "\\e[4~", "ed-move-to-end", nullptr);
    el_set(m_el, EL_HIST, history, m_history);
    el_set(m_el, EL_PROMPT, &EditLineEditor::promptOf);
    el_set(m_el, EL_GETCFN, &EditLineEditor::readChar);
    el_source(m_el, nullptr); // ~/.editrc, as in every libedit program
    el_set(m_el, EL_UNBUFFERED, 1); // raw keys; draws the first prompt
}

EditLineEditor::~EditLineEditor()
{
    if (m_el) {
        if (!m_between)
            erase();
        std::fflush(stdout);
        el_end(m_el); // the terminal's modes as they were
    }
    if (m_history) {
        if (!m_historyPath.empty()) {
            // The folders above it, private; a history that cannot be kept is simply not kept.
            for (size_t at = 1; (at = m_historyPath.find('/', at)) != std::string::npos; ++at)
                ::mkdir(m_historyPath.substr(0, at).c_str(), 0700);
            history(m_history, &m_event, H_SAVE, m_historyPath.c_str());
        }
        history_end(m_history);
    }
}

void EditLineEditor::readKeys()
{
    m_bytes = 0;
    do {
        int count = 0;
        const char *buf = el_gets(m_el, &count);
        if (m_eof) {
            m_hooks.end();
            return;
        }
        // Ctrl-D on an empty line: libedit hands it over as the line "^D".
        if (buf && count == 1 && buf[0] == '\004') {
            m_hooks.end();
            return;
        }
        if (buf && count > 0 && (buf[count - 1] == '\n' || buf[count - 1] == '\r'))
            finishLine(buf, count - 1);
    } while (m_bytes < kBytesPerTurn && inputReady(0));
}

void EditLineEditor::finishLine(const char *buf, int count)
{
    const std::string line(buf, size_t(count));
    if (line.find_first_not_of(" \t") != std::string::npos)
        history(m_history, &m_event, H_ENTER, line.c_str());
    // libedit has moved to the next row; what the line prints goes there.
    m_between = true;
    m_hooks.line(line);
    m_between = false;
    restart();
}

void EditLineEditor::restart()
{
    el_set(m_el, EL_UNBUFFERED, 0);
    el_set(m_el, EL_UNBUFFERED, 1);
}

void EditLineEditor::erase()
{
    const LineInfo *li = el_line(m_el);
    int columns = 0;
    el_get(m_el, EL_GETTC, "co", &columns, nullptr);
    // Columns up to the cursor: the bytes that begin a character.
    size_t width = 0;
    for (const char c : m_prompt)
        width += (static_cast<unsigned char>(c) & 0xc0) != 0x80;
    for (const char *p = li->buffer; p < li->cursor; ++p)
        width += (static_cast<unsigned char>(*p) & 0xc0) != 0x80;
    const size_t rows = columns > 0 ? width / size_t(columns) : 0;
    if (rows > 0)
        std::fprintf(stdout, "\r\033[%zuA\033[J", rows);
    else
        std::fputs("\r\033[J", stdout);
}

void EditLineEditor::printAbove(const std::string &text)
{
    if (!m_between)
        erase();
    std::fputs(text.c_str(), stdout);
    std::fputc('\n', stdout);
    if (!m_between)
        el_set(m_el, EL_REFRESH); // draws from the cursor, at the start of a row
    std::fflush(stdout);
}

void EditLineEditor::updatePrompt()
{
    if (m_between || m_hooks.prompt() == m_prompt)
        return;
    erase();
    el_set(m_el, EL_REFRESH);
}

bool EditLineEditor::lineEmpty() const
{
    const LineInfo *li = el_line(m_el);
    return li->lastchar == li->buffer;
}

void EditLineEditor::dropLine()
{
    const LineInfo *li = el_line(m_el);
    const std::string shown = m_prompt + std::string(li->buffer, li->lastchar) + "^C";
    erase();
    std::fputs(shown.c_str(), stdout);
    std::fputc('\n', stdout);
    restart();
}

void EditLineEditor::resume()
{
    if (m_between)
        return;
    // libedit believes the terminal is still raw: through cooked to be sure.
    el_set(m_el, EL_PREP_TERM, 0);
    el_set(m_el, EL_PREP_TERM, 1);
    el_set(m_el, EL_REFRESH); // the shell left the cursor at the start of a row
    std::fflush(stdout);
}

} // namespace

std::unique_ptr<LineEditor> makeLineEditor(LineEditor::Hooks hooks)
{
    auto editor = std::make_unique<EditLineEditor>(std::move(hooks));
    if (!editor->usable())
        return nullptr;
    return editor;
}

} // namespace mcusim
