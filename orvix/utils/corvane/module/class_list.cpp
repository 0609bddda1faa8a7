#include "orvix/utils/corvane/module/class_list.hpp"

#include <array>

namespace orvix::corvane {

std::span<const ClassEntry* const> registered_classes() {
    static constexpr std::array<const ClassEntry*, 4> classes = {
        &async_dispatcher_class,
        &sync_dispatcher_class,
        &threaded_dispatcher_class,
        &async_queue_class,
    };
    return classes;
}

std::span<const ModuleFunctionEntry* const> registered_module_functions() {
    static constexpr std::array<const ModuleFunctionEntry*, 1> functions = {&unpickle_async_queue_function};
    return functions;
}

}  // namespace orvix::corvane
