// The call signatures that inspect.signature() and help() show for the four
// classes. Their docstrings are fixed (none for the dispatchers, a typed line
// for AsyncQueue) and carry no signature the interpreter could read, so each
// class gets a __signature__ text beside its methods.
#pragma once

namespace orvix::corvane {

// Runs after the classes are registered. Returns 0, or -1 with an exception.
int add_class_signatures();

}  // namespace orvix::corvane
