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

    Converted convert(PyObject* msg, const char** data, std::size_t* size) {
        const int result = state().str_to_cbuf(msg, data, size);
        return result == -1 ? Converted::failed : result == 0 ? Converted::push : Converted::nothing;
    }
};

template <class Message>
py::CoroutineBody push_body(py::Coroutine& co) {
    OrvixAsyncQueue* q = async_queue(co.self());
    Message message(co);  // released when the coroutine ends, however it ends
    const char* data = nullptr;
    std::size_t size = 0;
    switch (message.convert(co.arg(0), &data, &size)) {
        case Converted::failed: throw py::PyError();
        case Converted::nothing: co_return py::none();
        case Converted::push: break;
    }
    push_message(q, data, size);
    // With the lock free, the block below would take it without suspending,
    // wake the first pending waiter and release it: done directly, the same.
    if (notify_if_lock_free(q, Message::kName)) co_return py::none();

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

constexpr const char* kMsg[] = {"msg"};

// One coroutine method per conversion: `push_xxx(self, msg)`.
template <class Message>
constexpr py::FunctionSpec push_spec() {
    return {
        .name = Message::kName,
        .qualname = Message::kQualname,
        .doc = Message::kDoc,
        .params = {Message::kName, kMsg, 1, 1},
        .body = &push_body<Message>,
        .locals = Message::kLocals,
        .nlocals = static_cast<int>(std::size(Message::kLocals)),
    };
}

}  // namespace

constinit const py::FunctionSpec kPushBufSpec = corvane_function(push_spec<BufferMessage>());
constinit const py::FunctionSpec kPushObjSpec = corvane_function(push_spec<ObjectMessage>());
constinit const py::FunctionSpec kPushStrSpec = corvane_function(push_spec<StringMessage>());

}  // namespace orvix::corvane
