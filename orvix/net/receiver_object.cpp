#include "orvix/net/receiver_object.hpp"

#include <cstring>
#include <new>
#include <utility>
#include <vector>

#include "cpython_support/producer_thread_glue.hpp"

namespace orvix::net {

namespace {

using Type = cpython_support::ProducerThreadType<ReceiverObject>;

const char* state_of(const ReceiverObject* r, Ending ending) {
    const common::ProducerThread& thread = r->thread->lifecycle();
    if (thread.forked()) return "forked";
    if (!thread.started()) return "not started";
    return ending_name(ending);
}

PyObject* receiver_stats(PyObject* self, PyObject*) {
    ReceiverObject* r = as_receiver(self);
    const ReceiverSnapshot s = r->thread->snapshot();
    PyObject* error = s.ending == Ending::failed ? PyUnicode_DecodeUTF8(s.error.data(), static_cast<Py_ssize_t>(s.error.size()), "replace")
                                                 : Py_NewRef(Py_None);
    if (error == nullptr) return nullptr;
    using ull = unsigned long long;
    PyObject* stats = Py_BuildValue("{s:K,s:K,s:K,s:K,s:K,s:K,s:K,s:K,s:K,s:s,s:N}", "received", (ull)s.received,
                                    "bytes", (ull)s.bytes, "stored", (ull)s.stored, "refused_full",
                                    (ull)s.refused_full, "too_long", (ull)s.too_long, "kernel_drops",
                                    (ull)s.kernel_drops, "not_allowed", (ull)s.not_allowed, "unsent", (ull)s.unsent,
                                    "errors", (ull)s.errors, "state", state_of(r, s.ending), "error", error);
    if (stats == nullptr) return nullptr;
    std::vector<MessageSource::OwnCount> own;
    try {
        own = r->thread->source().own_counts();
    } catch (const std::bad_alloc&) {
        Py_DECREF(stats);
        return PyErr_NoMemory();
    }
    for (const MessageSource::OwnCount& count : own) {
        PyObject* value = PyLong_FromUnsignedLongLong(count.value);
        if (value == nullptr || PyDict_SetItemString(stats, count.name, value) < 0) {
            Py_XDECREF(value);
            Py_DECREF(stats);
            return nullptr;
        }
        Py_DECREF(value);
    }
    return stats;
}

PyObject* receiver_on_full(PyObject* self, void*) {
    return PyUnicode_FromString(as_receiver(self)->thread->on_full() == OnFull::drop ? "drop" : "wait");
}

}  // namespace

// OSError(error, message), as the socket module raises it: the subclass
// the errno maps to. Steals `message`.
void raise_os_error(int error, PyObject* message) {
    PyObject* exception = PyObject_CallFunction(PyExc_OSError, "iN", error, message);
    if (exception == nullptr) return;
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exception)), exception);
    Py_DECREF(exception);
}

int parse_on_full(const char* text, OnFull& on_full) {
    if (std::strcmp(text, "drop") == 0) {
        on_full = OnFull::drop;
    } else if (std::strcmp(text, "wait") == 0) {
        on_full = OnFull::wait;
    } else {
        PyErr_Format(PyExc_ValueError, "on_full must be 'drop' or 'wait', got '%s'", text);
        return -1;
    }
    return 0;
}

int receiver_init(PyObject* self, PyObject* target_obj, std::unique_ptr<MessageSource> source, OnFull on_full) {
    OrvixProducerTarget target;
    if (orvix_producer_target(target_obj, &target) < 0) return -1;
    try {
        as_receiver(self)->thread = new ReceiverThread(target, std::move(source), on_full);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return -1;
    }
    as_receiver(self)->target = Py_NewRef(target_obj);
    return 0;
}

PyMethodDef receiver_methods[] = {
    {"start", Type::start, METH_NOARGS,
     "start($self, /)\n--\n\n"
     "Starts the receiver thread (once), as the one producer of the target's ring: RuntimeError while "
     "another producer pushes into it."},
    {"join", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(Type::join)),
     METH_VARARGS | METH_KEYWORDS,
     "join($self, /, timeout=None)\n--\n\n"
     "Waits for the thread, with the interpreter lock released; True when it has finished. A negative "
     "timeout looks without waiting; NaN raises ValueError."},
    {"stop", Type::stop, METH_NOARGS,
     "stop($self, /)\n--\n\n"
     "Asks the thread to stop and returns at once; a blocked receive and a push waiting for room end at once."},
    {"stats", receiver_stats, METH_NOARGS,
     "stats($self, /)\n--\n\n"
     "What the receiver took in and what became of it (a snapshot), with its state."},
    {"__enter__", Type::enter, METH_NOARGS, "__enter__($self, /)\n--\n\nStarts the receiver."},
    {"__exit__", Type::exit, METH_VARARGS, "__exit__($self, *exc_info)\n--\n\nStops the receiver and joins it."},
    {nullptr, nullptr, 0, nullptr},
};

const PyGetSetDef receiver_getset[] = {
    {"running", Type::is_running, nullptr, "True from start() until the thread has finished.", nullptr},
    {"on_full", receiver_on_full, nullptr, "'drop' or 'wait': what a full ring does to a message.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace orvix::net

namespace orvix::net {

PyGetSetDef* receiver_getset_with(const PyGetSetDef* own) noexcept {
    try {
        auto* table = new std::vector<PyGetSetDef>;  // referenced by the type for good
        for (const PyGetSetDef* g = receiver_getset; g->name != nullptr; ++g) table->push_back(*g);
        for (const PyGetSetDef* g = own; g->name != nullptr; ++g) table->push_back(*g);
        table->push_back({nullptr, nullptr, nullptr, nullptr, nullptr});
        return table->data();
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

PyObject* make_receiver_type(PyObject* module, const char* name, newfunc tp_new, PyGetSetDef* getset,
                             const char* doc) {
    PyType_Slot slots[] = {
        {Py_tp_new, reinterpret_cast<void*>(tp_new)},
        {Py_tp_dealloc, reinterpret_cast<void*>(ReceiverSlots::dealloc)},
        {Py_tp_traverse, reinterpret_cast<void*>(ReceiverSlots::traverse)},
        {Py_tp_clear, reinterpret_cast<void*>(ReceiverSlots::clear)},
        {Py_tp_methods, receiver_methods},
        {Py_tp_getset, getset},
        {Py_tp_doc, const_cast<char*>(doc)},   // copied by the type
        {0, nullptr},
    };
    PyType_Spec spec = {name, sizeof(ReceiverObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, slots};
    return PyType_FromModuleAndSpec(module, &spec, nullptr);
}

}  // namespace orvix::net
