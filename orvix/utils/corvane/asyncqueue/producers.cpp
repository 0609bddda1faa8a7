// push_buf, push_obj, push_str: one coroutine body, three ways of turning the
// message into a byte range.
//
// The message goes into the ring in the coroutine's first step, before the
// lock is taken; the lock is held only around notify(). A producer that is
// cancelled while it waits for the lock has therefore already stored its
// message and loses only the wake-up. Whatever keeps the byte range valid
// (a buffer view, an owner reference) is held until the coroutine ends.
#include <Python.h>

#include <cstddef>
#include <iterator>
#include <optional>
#include <utility>

#include "cpython_support/coroutine.hpp"
#include "orvix/utils/corvane/asyncqueue/async_queue.hpp"
#include "orvix/utils/corvane/asyncqueue/condition.hpp"
#include "orvix/utils/corvane/asyncqueue/queue_ring.hpp"
#include "orvix/utils/corvane/module/module_identity.hpp"
#include "orvix/utils/corvane/module/module_state.hpp"

namespace orvix::corvane {
namespace {

// What a conversion decided: the byte range is to be pushed, there is nothing
// to push, or it failed (exception pending).
enum class Converted { push, nothing, failed };

// An exact bytes object exports its own immutable storage and keeps no export
// count: a view or owner reference taken on it would keep nothing valid that
// the coroutine's reference to the message does not, so none is taken.
std::optional<Converted> plain_bytes(PyObject* msg, const char** data, std::size_t* size) noexcept {
    if (!PyBytes_CheckExact(msg)) return std::nullopt;
    *data = PyBytes_AS_STRING(msg);
    *size = static_cast<std::size_t>(PyBytes_GET_SIZE(msg));
    return Converted::push;
}

// push_buf: any object exporting a buffer; the view is held. While it is, the
// view's reference to its exporter sits in `exporter`, where the collector's
// traversal of the coroutine sees it, and goes back into the view for the
// release.
struct BufferMessage {
    static constexpr const char kName[] = "push_buf";
    static constexpr const char kQualname[] = "AsyncQueue.push_buf";
    static constexpr const char kDoc[] = "AsyncQueue.push_buf(self, msg)";
    static constexpr const char* kLocals[] = {"view", "data", "size"};
    Py_buffer view{};  // view.buf stays null until a view is taken
    py::Held exporter;

    explicit BufferMessage(py::Coroutine& co) noexcept : exporter(co) {}

    // The conversion when it holds nothing but the message; none: convert().
    static std::optional<Converted> convert_in_place(PyObject* msg, const char** data, std::size_t* size) {
        return plain_bytes(msg, data, size);
    }

    Converted convert(PyObject* msg, const char** data, std::size_t* size) {
        const int result = state().buf_to_cbuf(msg, &view, data, size);
        // Whatever the result: a view left filled in is released at the end.
        if (view.buf && view.obj) exporter = py::Ref::steal(std::exchange(view.obj, nullptr));
        return result == -1 ? Converted::failed : Converted::push;
    }
    ~BufferMessage() {
        if (!view.buf) return;
        if (exporter) view.obj = Py_NewRef(exporter.get());
        exporter = nullptr;
        PyBuffer_Release(&view);
    }
};

// push_obj: whatever obj_to_cbuf accepts; the owner reference it returns is held.
struct ObjectMessage {
    static constexpr const char kName[] = "push_obj";
    static constexpr const char kQualname[] = "AsyncQueue.push_obj";
    static constexpr const char kDoc[] = "AsyncQueue.push_obj(self, msg)";
    static constexpr const char* kLocals[] = {"pb", "data", "size"};
    PyObject* owner = nullptr;

    explicit ObjectMessage(py::Coroutine&) noexcept {}

    static std::optional<Converted> convert_in_place(PyObject* msg, const char** data, std::size_t* size) {
        return plain_bytes(msg, data, size);
    }

    Converted convert(PyObject* msg, const char** data, std::size_t* size) {
        const int result = state().obj_to_cbuf(msg, &owner, data, size);
        return result == -1 ? Converted::failed : result == 0 ? Converted::push : Converted::nothing;
    }
    ~ObjectMessage() { Py_XDECREF(owner); }
};

// push_str: a str, whose UTF-8 form lives as long as the message (held by
// the coroutine's arguments).
struct StringMessage {
    static constexpr const char kName[] = "push_str";
    static constexpr const char kQualname[] = "AsyncQueue.push_str";
    static constexpr const char kDoc[] = "AsyncQueue.push_str(self, msg)";
    static constexpr const char* kLocals[] = {"data", "size"};

    explicit StringMessage(py::Coroutine&) noexcept {}

    // Always in place: the range lives as long as the str.
    static std::optional<Converted> convert_in_place(PyObject* msg, const char** data, std::size_t* size) {
        const int result = state().str_to_cbuf(msg, data, size);
        return result == -1 ? Converted::failed : result == 0 ? Converted::push : Converted::nothing;
    }
    Converted convert(PyObject* msg, const char** data, std::size_t* size) {
        return *convert_in_place(msg, data, size);
    }
};

// The two stages of a push: the message into the ring, then the wake-up.
enum class Stage { convert_and_push, wake };

// Pushes, and wakes a waiter directly when the lock is free: the block that
// the body would enter then takes the lock without suspending, wakes the
// first pending waiter and releases it, the same. False: the body's block
// is needed.
bool push_and_wake_if_lock_free(OrvixAsyncQueue* q, const char* data, std::size_t size, const char* method) {
    push_message(q, data, size);
    return notify_if_lock_free(q, method);
}

// The whole push (Stage::convert_and_push), or its wake-up under the lock
// alone, for a message that the first step pushed already (Stage::wake).
template <class Message, Stage kFrom>
py::CoroutineBody push_body(py::Coroutine& co) {
    OrvixAsyncQueue* q = async_queue(co.self());
    Message message(co);  // released when the coroutine ends, however it ends
    if constexpr (kFrom == Stage::convert_and_push) {
        const char* data = nullptr;
        std::size_t size = 0;
        switch (message.convert(co.arg(0), &data, &size)) {
            case Converted::failed: throw py::PyError();
            case Converted::nothing: co_return py::none();
            case Converted::push: break;
        }
        if (push_and_wake_if_lock_free(q, data, size, Message::kName)) co_return py::none();
    }
    py::AsyncWith block(co, q->_notify_cond);
    co_await block.enter();
    try {
        notify_waiters(q, Wake::one, Message::kName);
    } catch (py::PyError& error) {
        block.fail(error);
    }
    co_await block.exit();
    co_return py::none();
}

// A message that needs nothing held but itself is pushed, and usually woken
// for, in the first step, with no body made; the rest goes on in a body.
template <class Message>
py::CoroutineBodyFn push_first_step(py::Coroutine& co, py::Ref& result) {
    const char* data = nullptr;
    std::size_t size = 0;
    const std::optional<Converted> converted = Message::convert_in_place(co.arg(0), &data, &size);
    if (!converted) return &push_body<Message, Stage::convert_and_push>;
    switch (*converted) {
        case Converted::failed: throw py::PyError();
        case Converted::nothing: break;
        case Converted::push:
            if (!push_and_wake_if_lock_free(async_queue(co.self()), data, size, Message::kName))
                return &push_body<Message, Stage::wake>;
            break;
    }
    result = py::none();
    return nullptr;
}

constexpr const char* kMsg[] = {"msg"};

// One coroutine method per conversion: `push_xxx(self, msg)`.
template <class Message>
constexpr py::FunctionSpec push_spec() {
    return {
        .name = Message::kName,
        .qualname = Message::kQualname,
        .doc = Message::kDoc,
        .params = {Message::kName, kMsg, 1, 1},
        .first_step = &push_first_step<Message>,  // names the body each call goes on in
        .locals = Message::kLocals,
        .nlocals = static_cast<int>(std::size(Message::kLocals)),
    };
}

}  // namespace

constinit const py::FunctionSpec kPushBufSpec = corvane_function(push_spec<BufferMessage>());
constinit const py::FunctionSpec kPushObjSpec = corvane_function(push_spec<ObjectMessage>());
constinit const py::FunctionSpec kPushStrSpec = corvane_function(push_spec<StringMessage>());

}  // namespace orvix::corvane
