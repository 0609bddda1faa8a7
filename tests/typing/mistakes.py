# Deliberate mistakes that the stubs must make mypy report. Each line that
# should fail ends with the error mypy must print for it.
import asyncio

from orvix.ringq.ringq import SPSCQueue
from orvix.utils.corvane.corvane import AsyncDispatcher, AsyncQueue, SyncDispatcher, ThreadedDispatcher


def on_message(message: bytes) -> None:
    print(message)


async def main() -> None:
    q = SPSCQueue()
    q.push(123)  # E: Argument 1 to "push" of "SPSCQueue" has incompatible type "int"; expected "Buffer"  [arg-type]
    q.pusj(b"x")  # E: "SPSCQueue" has no attribute "pusj"  [attr-defined]
    AsyncDispatcher(on_message)  # E: Argument 1 to "AsyncDispatcher" has incompatible type "Callable[[bytes], None]"; expected "Callable[[bytes], Awaitable[object]]"  [arg-type]
    ThreadedDispatcher(on_message, capacity="lots")  # E: Argument "capacity" to "ThreadedDispatcher" has incompatible type "str"; expected "SupportsInt"  [arg-type]
    SyncDispatcher(on_message).setup(8080)  # E: Argument 1 to "setup" of "SyncDispatcher" has incompatible type "int"; expected "str | None"  [arg-type]
    aq = AsyncQueue()
    aq.push_buf(b"never awaited")  # E: Value of type "Coroutine[Any, Any, None]" must be used  [unused-coroutine]
    text: str = await aq.pop()  # E: Incompatible types in assignment (expression has type "bytes", variable has type "str")  [assignment]
    print(text)
    ThreadedDispatcher(on_message).stats()["deliverd"]  # E: TypedDict "_Stats" has no key "deliverd"  [typeddict-item]


asyncio.run(main())
