#include "orvix/utils/corvane/module/class_signatures.hpp"

#include "cpython_support/class_signature.hpp"
#include "orvix/utils/corvane/module/class_list.hpp"

namespace orvix::corvane {
namespace {

struct ClassSignatureEntry {
    const ClassEntry& cls;
    const char* text;  // the constructor's parameters in order, with their defaults
};

const ClassSignatureEntry kSignatures[] = {
    {async_dispatcher_class,
     "(callback, capacity=16384, slot_size=2048, overwrite=False, zerocopy=False, variable_size=False)"},
    {sync_dispatcher_class,
     "(callback, capacity=16384, slot_size=2048, zerocopy=False, overwrite=False, variable_size=False, "
     "daemon=False)"},
    {threaded_dispatcher_class,
     "(callback, capacity=16384, slot_size=2048, zerocopy=False, block_on_full=False, overwrite=False, "
     "variable_size=False)"},
    {async_queue_class,
     "(loop=None, slot_size=1024, capacity=16384, overwrite=False, zerocopy=False, block_on_full=False)"},
};

}  // namespace

int add_class_signatures() {
    for (const ClassSignatureEntry& entry : kSignatures) {
        if (py::set_class_signature(entry.cls.type, entry.text) < 0) return -1;
    }
    return 0;
}

}  // namespace orvix::corvane
