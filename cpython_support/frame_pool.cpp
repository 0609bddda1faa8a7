// The C++ frames of coroutine bodies come from a small pool per function
// (FunctionSpec::frames), so a call in a loop reuses the last one.
#include "cpython_support/coroutine_body.hpp"

#include <cstddef>

namespace orvix::py {
namespace {

// Frames are preceded by a header naming their pool (null: none), so the
// sized delete finds the pool without help from the coroutine.
struct alignas(__STDCPP_DEFAULT_NEW_ALIGNMENT__) FrameHeader {
    RecordPool* pool;
};

}  // namespace

void* CoroutinePromise::operator new(std::size_t size, Coroutine& co) noexcept
{
    RecordPool* pool = co.spec().reuses(Reuse::frames) ? &co.spec().frames : nullptr;
    if (pool) {
        if (void* frame = pool->take(size))
            return frame;
    }
    void* block = PyMem_Malloc(sizeof(FrameHeader) + size);
    if (!block)
        return nullptr;
    static_cast<FrameHeader*>(block)->pool = pool;
    return static_cast<FrameHeader*>(block) + 1;
}

void CoroutinePromise::operator delete(void* frame, std::size_t size) noexcept
{
    FrameHeader* header = static_cast<FrameHeader*>(frame) - 1;
    if (!header->pool || !header->pool->keep(frame, size))
        PyMem_Free(header);
}

}  // namespace orvix::py
