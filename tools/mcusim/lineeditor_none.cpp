// A build without libedit (a cross build without the target's libedit-dev):
// the prompt reads lines as they come.

#include "lineeditor.h"

namespace mcusim {

std::unique_ptr<LineEditor> makeLineEditor(LineEditor::Hooks) { return nullptr; }

} // namespace mcusim
