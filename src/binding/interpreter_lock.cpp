// Per-thread depth of lock-held binding-layer entries.
#include "binding/interpreter_lock.hpp"

namespace vorn::binding {

int& lock_held_scope::depth() noexcept {
    thread_local int entered = 0;
    return entered;
}

}  // namespace vorn::binding
