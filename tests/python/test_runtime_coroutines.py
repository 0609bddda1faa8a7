"""The runtime's coroutine type against native coroutines.

Each scenario runs twice, once on an ``async def`` and once on the same body
written in C++ (the test module ``coro_probe``), and the two transcripts of
results, exceptions and side effects must match.
"""
import asyncio
import gc
import sys
import traceback
import types
import warnings
import weakref

import pytest

import coro_probe as probe


# ---- the Python twins of the coro_probe bodies ------------------------------

async def await_value(aw):
    return await aw


async def await_both(a, b):
    return (await a, await b)


async def with_cm(cm, aw):
    async with cm:
        return await aw


async def raise_stop(aw):
    await aw
    raise StopIteration(7)


async def ignore_exit(aw):
    try:
        await aw
    except GeneratorExit:
        await aw


async def cleanup(aw, log):
    try:
        return await aw
    finally:
        log.append("cleanup")


async def catch_and_return(aw):
    try:
        await aw
    except BaseException as e:
        return type(e).__name__


async def identity(x):
    return x


NATIVE = {f.__name__: f for f in (await_value, await_both, with_cm, raise_stop, ignore_exit,
                                  cleanup, catch_and_return, identity)}
# "first_step": the same bodies behind a first step that hands over at once
# (identity's ends the call itself, await_value's awaits its result with no
# body), which must change nothing.
IMPLS = ["native", "probe", "first_step"]


def body(impl, name):
    if impl == "native":
        return NATIVE[name]
    return getattr(probe.first_step if impl == "first_step" else probe, name)


# A coroutine's close() answers the value its body returned while closing from
# 3.13 on; None before.
CLOSE_RETURNS_VALUE = sys.version_info >= (3, 13)


# ---- awaitables that record what reaches them ---------------------------------

class Step:
    """Awaitable yielding once; records sends, throws and closing."""

    def __init__(self, log, catch=False, value="step"):
        self.log, self.catch, self.value = log, catch, value

    def __await__(self):
        try:
            sent = yield self.value
        except GeneratorExit:
            self.log.append("inner closed")
            raise
        except ValueError as e:
            self.log.append(("inner caught", str(e)))
            if self.catch:
                return "recovered"
            raise
        self.log.append(("inner got", sent))
        return sent


class BareIter:
    """An __await__ iterator with neither throw() nor close()."""

    def __init__(self, log):
        self.log, self.done = log, False

    def __await__(self):
        return self

    def __next__(self):
        if self.done:
            raise StopIteration("bare")
        self.done = True
        return "bare step"


def outcome(call):
    """What a call did: its result or the exception's type and text."""
    try:
        return ("ok", call())
    except StopIteration as e:
        return ("stop", e.value)
    except BaseException as e:  # noqa: B902 - every exception is a result here
        return ("raise", type(e).__name__, normalise(str(e)))


def normalise(text):
    # Native coroutines name themselves in two messages where the runtime's
    # wording is fixed.
    return (text.replace("coroutine raised StopIteration", "generator raised StopIteration"))


def transcript(impl, scenario):
    log = []
    steps = scenario(impl, log)
    return [outcome(s) if callable(s) else s for s in steps], log


def same_on_both(scenario):
    native = transcript("native", scenario)
    runtime = transcript("probe", scenario)
    assert runtime == native
    assert transcript("first_step", scenario) == native
    return runtime


# ---- driving by hand ---------------------------------------------------------------

def test_send_non_none_before_start():
    def scenario(impl, log):
        c = body(impl, "identity")(1)
        return [lambda: c.send(5), lambda: c.send(None), lambda: c.send(None)]

    steps, _ = same_on_both(scenario)
    assert steps == [("raise", "TypeError", "can't send non-None value to a just-started coroutine"),
                     ("stop", 1),
                     ("raise", "RuntimeError", "cannot reuse already awaited coroutine")]


def test_reuse_after_completion_by_every_entry():
    def scenario(impl, log):
        c = body(impl, "await_value")(Step(log))
        return [lambda: c.send(None), lambda: c.send("v"), lambda: c.send(None),
                lambda: c.throw(ValueError("late")), lambda: c.close(), lambda: next(c.__await__())]

    steps, log = same_on_both(scenario)
    assert steps[:4] == [("ok", "step"), ("stop", "v"),
                         ("raise", "RuntimeError", "cannot reuse already awaited coroutine"),
                         ("raise", "RuntimeError", "cannot reuse already awaited coroutine")]
    assert steps[4] == ("ok", None)


@pytest.mark.parametrize("catch", [False, True])
def test_throw_reaches_the_inner_awaitable(catch):
    def scenario(impl, log):
        c = body(impl, "cleanup")(Step(log, catch=catch), log)
        return [lambda: c.send(None), lambda: c.throw(ValueError("boom")), lambda: c.send(None)]

    steps, log = same_on_both(scenario)
    assert log == [("inner caught", "boom"), "cleanup"]
    assert steps[1] == (("stop", "recovered") if catch else ("raise", "ValueError", "boom"))


@pytest.mark.parametrize("catch", [False, True])
def test_throw_and_close_reach_what_a_plain_return_await_awaits(catch):
    def scenario(impl, log):
        c = body(impl, "await_value")(Step(log, catch=catch))
        d = body(impl, "await_value")(Step(log))
        return [lambda: c.send(None), lambda: c.throw(ValueError("boom")), lambda: c.send(None),
                lambda: d.send(None), lambda: d.cr_await is not None, lambda: d.close(),
                lambda: d.cr_await, lambda: d.send(None)]

    steps, log = same_on_both(scenario)
    assert log == [("inner caught", "boom"), "inner closed"]
    assert steps[1] == (("stop", "recovered") if catch else ("raise", "ValueError", "boom"))
    assert steps[4:7] == [("ok", True), ("ok", None), ("ok", None)]


def test_throw_without_inner_throw_method_lands_in_the_body():
    def scenario(impl, log):
        c = body(impl, "catch_and_return")(BareIter(log))
        return [lambda: c.send(None), lambda: c.throw(KeyError("k")), lambda: c.cr_await]

    steps, _ = same_on_both(scenario)
    assert steps[:2] == [("ok", "bare step"), ("stop", "KeyError")]


def test_throw_argument_forms():
    def scenario(impl, log):
        def started(aw=None):
            c = body(impl, "catch_and_return")(aw or Step(log))
            c.send(None)
            return c

        bare = started(BareIter(log))  # bad arguments reach the body itself
        return [lambda: started().throw(1), lambda: bare.throw(1),
                lambda: started().throw(ValueError("x"), 1),
                lambda: started().throw(ValueError, ValueError("v"), 3),
                lambda: started().throw(), lambda: started().throw(1, 2, 3, 4),
                lambda: started().throw(KeyError, KeyError("a"), None),
                lambda: started(BareIter(log)).throw(KeyError, "text", None)]

    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        steps, log = same_on_both(scenario)
    assert steps == [
        ("stop", "TypeError"),
        ("raise", "TypeError",
         "exceptions must be classes or instances deriving from BaseException, not int"),
        ("stop", "TypeError"),
        ("stop", "TypeError"),
        ("raise", "TypeError", "throw expected at least 1 argument, got 0"),
        ("raise", "TypeError", "throw expected at most 3 arguments, got 4"),
        ("stop", "KeyError"),
        ("stop", "KeyError")]
    assert {str(w.message) for w in caught} == {
        "the (type, exc, tb) signature of throw() is deprecated, use the single-arg signature instead."}


def test_throw_into_a_just_created_coroutine_ends_it():
    def scenario(impl, log):
        c = body(impl, "cleanup")(Step(log), log)
        return [lambda: c.throw(ValueError("early")), lambda: c.send(None)]

    steps, log = same_on_both(scenario)
    assert steps == [("raise", "ValueError", "early"),
                     ("raise", "RuntimeError", "cannot reuse already awaited coroutine")]
    assert log == []  # nothing of the body ran


def test_close_while_suspended_runs_cleanup_and_closes_the_inner_awaitable():
    def scenario(impl, log):
        c = body(impl, "cleanup")(Step(log), log)
        return [lambda: c.send(None), lambda: c.close(), lambda: c.close(), lambda: c.send(None)]

    steps, log = same_on_both(scenario)
    assert log == ["inner closed", "cleanup"]
    assert steps[1:3] == [("ok", None), ("ok", None)]


class FailingClose:
    """Awaitable whose iterator raises KeyError when closed."""

    def __await__(self):
        try:
            yield "step"
        except GeneratorExit:
            raise KeyError("close failed")


def test_throwing_generator_exit_closes_the_inner_awaitable():
    def scenario(impl, log):
        c = body(impl, "cleanup")(Step(log), log)
        return [lambda: c.send(None), lambda: c.throw(GeneratorExit), lambda: c.send(None)]

    steps, log = same_on_both(scenario)
    assert steps[1] == ("raise", "GeneratorExit", "")
    assert log == ["inner closed", "cleanup"]


def test_inner_close_failure_goes_into_the_body():
    def scenario(impl, log):
        c = body(impl, "cleanup")(FailingClose(), log)
        d = body(impl, "catch_and_return")(FailingClose())
        return [lambda: c.send(None), lambda: c.close(), lambda: d.send(None), lambda: d.close()]

    steps, log = same_on_both(scenario)
    assert steps[1] == ("raise", "KeyError", "'close failed'")
    assert steps[3] == ("ok", "KeyError" if CLOSE_RETURNS_VALUE else None)  # the body caught it and returned
    assert log == ["cleanup"]


def test_close_answers_what_the_body_returns_while_closing():
    def scenario(impl, log):
        c = body(impl, "catch_and_return")(Step(log))
        d = body(impl, "identity")(1)
        return [lambda: c.send(None), lambda: c.close(), lambda: c.close(), lambda: d.close()]

    steps, log = same_on_both(scenario)
    assert steps[1:] == [("ok", "GeneratorExit" if CLOSE_RETURNS_VALUE else None), ("ok", None), ("ok", None)]
    assert log == ["inner closed"]


def test_close_before_start_does_not_warn():
    def scenario(impl, log):
        c = body(impl, "identity")(1)
        return [lambda: c.close(), lambda: c.send(None)]

    with warnings.catch_warnings():
        warnings.simplefilter("error")
        steps, _ = same_on_both(scenario)
    assert steps[1] == ("raise", "RuntimeError", "cannot reuse already awaited coroutine")


def test_generator_exit_ignored():
    def scenario(impl, log):
        c = body(impl, "ignore_exit")(Step(log))
        return [lambda: c.send(None), lambda: c.close(), lambda: c.cr_running,
                lambda: c.send("x")]

    steps, log = same_on_both(scenario)
    assert steps[1] == ("raise", "RuntimeError", "coroutine ignored GeneratorExit")
    assert steps[3] == ("stop", None)  # still suspended: it can go on


def test_stop_iteration_inside_becomes_runtime_error():
    errors = {}

    def scenario(impl, log):
        c = body(impl, "raise_stop")(Step(log))
        c.send(None)
        try:
            c.send(None)
        except RuntimeError as e:
            errors[impl] = e
        return []

    same_on_both(scenario)
    for e in errors.values():
        assert isinstance(e.__cause__, StopIteration) and e.__cause__.value == 7
        assert e.__context__ is e.__cause__ and e.__suppress_context__
    assert str(errors["probe"]) == "generator raised StopIteration"


def test_reentrant_send_is_refused():
    class Reenter:
        def __await__(self):
            yield "first"
            try:
                self.coro.send(None)
            except ValueError as e:
                self.log.append(str(e))
            try:
                self.coro.close()
            except ValueError as e:
                self.log.append(str(e))
            return "done"

    def scenario(impl, log):
        aw = Reenter()
        aw.log = log
        aw.coro = c = body(impl, "await_value")(aw)
        return [lambda: c.send(None), lambda: c.send(None)]

    steps, log = same_on_both(scenario)
    assert log == ["coroutine already executing"] * 2
    assert steps[1] == ("stop", "done")


def test_not_awaitable():
    def scenario(impl, log):
        c = body(impl, "await_value")(5)
        return [lambda: c.send(None)]

    steps, _ = same_on_both(scenario)
    assert steps == [("raise", "TypeError", "object int can't be used in 'await' expression")]


@types.coroutine
def iterable_coroutine(value):
    sent = yield value
    return sent


class AwaitDelegates:
    """__await__ hands out the iterator of another awaitable."""

    def __init__(self, make):
        self.make = make

    def __await__(self):
        return self.make()


def test_awaiting_what_python_code_can_await():
    def scenario(impl, log):
        by_decorator = body(impl, "await_value")(iterable_coroutine("gen step"))
        through_await = body(impl, "await_value")(
            AwaitDelegates(lambda: body(impl, "identity")(3).__await__()))
        return [lambda: by_decorator.send(None), lambda: by_decorator.send("sent"),
                lambda: through_await.send(None)]

    steps, _ = same_on_both(scenario)
    assert steps == [("ok", "gen step"), ("stop", "sent"), ("stop", 3)]


def test_await_returning_a_generator_coroutine_is_refused():
    def scenario(impl, log):
        c = body(impl, "await_value")(AwaitDelegates(lambda: iterable_coroutine(1)))
        return [lambda: c.send(None)]

    steps, _ = same_on_both(scenario)
    assert steps == [("raise", "TypeError", "__await__() returned a coroutine")]


def test_awaiting_a_coroutine_that_is_awaited_already():
    def scenario(impl, log):
        inner = await_value(Step(log))
        inner.send(None)
        c = body(impl, "await_value")(inner)
        result = [outcome(lambda: c.send(None))]
        inner.close()
        return result

    steps, _ = same_on_both(scenario)
    assert steps == [("raise", "RuntimeError", "coroutine is being awaited already")]


def test_never_awaited_warning():
    messages = {}
    for impl in IMPLS:
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            for _ in range(3):  # reused records warn again
                c = body(impl, "identity")(1)
                del c
                gc.collect()
        messages[impl] = [(w.category, str(w.message)) for w in caught]
    assert messages["probe"] == [(RuntimeWarning, "coroutine 'identity' was never awaited")] * 3
    assert messages["native"] == messages["probe"] == messages["first_step"]


def test_finalised_while_suspended_is_closed():
    for impl in IMPLS:
        log = []
        c = body(impl, "cleanup")(Step(log), log)
        c.send(None)
        del c
        gc.collect()
        assert log == ["inner closed", "cleanup"], impl


def test_finalisation_errors_are_unraisable():
    seen = []

    def hook(arg):
        seen.append((type(arg.exc_value), arg.object))

    old, sys.unraisablehook = sys.unraisablehook, hook
    try:
        log = []
        c = probe.ignore_exit(Step(log))
        c.send(None)
        del c
        gc.collect()
    finally:
        sys.unraisablehook = old
    assert len(seen) == 1 and seen[0][0] is RuntimeError
    assert "ignore_exit" in repr(seen[0][1])


def test_coroutine_attributes():
    c = probe.identity(1)
    assert (c.__name__, c.__qualname__) == ("identity", "identity")
    assert repr(c).startswith("<coroutine object identity at 0x")
    assert c.cr_await is None and not c.cr_running and c.cr_code is probe.identity.__code__
    assert asyncio.iscoroutine(c)
    c.__name__ = "renamed"
    assert c.__name__ == "renamed"
    with pytest.raises(TypeError):
        c.__qualname__ = 3
    c.close()
    del c  # its object may serve the next call: neither name carries over
    c = probe.identity(2)
    assert (c.__name__, c.__qualname__) == ("identity", "identity")
    c.close()
    del c
    probe.identity.__name__ = "other"
    try:
        c = probe.identity(3)
        assert (c.__name__, c.__qualname__) == ("other", "identity")
        c.close()
    finally:
        probe.identity.__name__ = "identity"
    method = probe.Probe().pop()
    assert (method.__name__, method.__qualname__) == ("pop", "Probe.pop")
    method.close()


def test_cr_await_while_suspended():
    log = []
    step = Step(log)
    c = probe.await_value(step)
    c.send(None)
    assert c.cr_await is not None and c.cr_suspended
    c.close()
    assert c.cr_await is None


def test_error_ending_a_coroutine_gains_its_entry():
    c = probe.await_value(5)
    with pytest.raises(TypeError) as info:
        c.send(None)
    entry = info.tb
    while entry.tb_next:
        entry = entry.tb_next
    assert entry.tb_frame.f_code.co_name == "await_value"
    assert entry.tb_frame.f_code.co_filename == "coro_probe.cpp"
    with pytest.raises(TypeError) as info:
        probe.await_value()
    names = []
    tb = info.tb
    while tb:
        names.append(tb.tb_frame.f_code.co_name)
        tb = tb.tb_next
    assert names[-1] == "coro_probe.await_value"


# ---- async with ----------------------------------------------------------------------

class Manager:
    def __init__(self, log, suppress=False, fail_exit=False):
        self.log, self.suppress, self.fail_exit = log, suppress, fail_exit

    async def __aenter__(self):
        self.log.append("enter")
        await asyncio.sleep(0)
        return self

    async def __aexit__(self, typ, value, tb):
        self.log.append(("exit", typ, type(value) if value is not None else None, tb is not None))
        await asyncio.sleep(0)
        if self.fail_exit:
            raise KeyError("from exit")
        return self.suppress


async def fails():
    await asyncio.sleep(0)
    raise ValueError("inner")


async def succeeds():
    await asyncio.sleep(0)
    return "fine"


@pytest.mark.timeout(30)
@pytest.mark.parametrize("inner,suppress,fail_exit", [
    (succeeds, False, False), (fails, False, False), (fails, True, False), (fails, False, True),
    (succeeds, False, True)])
def test_async_with_matches_native(inner, suppress, fail_exit):
    results = {}
    for impl in IMPLS:
        log = []

        async def run():
            try:
                return ("ok", await body(impl, "with_cm")(Manager(log, suppress, fail_exit), inner()))
            except Exception as e:
                context = type(e.__context__).__name__ if e.__context__ else None
                return ("raise", type(e).__name__, str(e), context)

        results[impl] = (asyncio.run(run()), log)
    assert results["probe"] == results["native"] == results["first_step"]


class HandledLog:
    """Records the exception being handled at each step of an async with."""

    def __init__(self, log, fail_exit=False):
        self.log, self.fail_exit = log, fail_exit

    async def __aenter__(self):
        self.log.append(("enter", repr(sys.exception())))

    async def __aexit__(self, typ, value, tb):
        self.log.append(("exit", repr(sys.exception())))
        await asyncio.sleep(0)
        self.log.append(("exit resumed", repr(sys.exception())))
        if self.fail_exit:
            raise KeyError("from exit")  # chained to the handled exception
        return True


@pytest.mark.timeout(30)
@pytest.mark.parametrize("inner", [fails, succeeds])
@pytest.mark.parametrize("outer", [False, True])
@pytest.mark.parametrize("fail_exit", [False, True])
def test_async_with_exit_sees_the_error_as_handled(inner, outer, fail_exit):
    results = {}
    for impl in IMPLS:
        log = []

        async def guarded():
            try:
                return ("ok", await body(impl, "with_cm")(HandledLog(log, fail_exit), inner()))
            except Exception as e:
                return ("raise", type(e).__name__, repr(e.__context__))
            finally:
                log.append(("after", repr(sys.exception())))

        async def run():
            if not outer:
                return await guarded()
            try:
                raise LookupError("outer")
            except LookupError:
                return await guarded()

        results[impl] = (asyncio.run(run()), log)
    assert results["probe"] == results["native"] == results["first_step"]
    if inner is fails:
        assert results["probe"][1][1:3] == [("exit", "ValueError('inner')"),
                                            ("exit resumed", "ValueError('inner')")]


def test_async_with_missing_special_methods():
    class OnlyEnter:
        async def __aenter__(self):
            return self

    class OnlyExit:
        async def __aexit__(self, *exc):
            return False

    obj = OnlyEnter()
    obj.__aexit__ = lambda *a: None  # instance attributes do not count
    for manager, missing in ((obj, "__aexit__"), (OnlyExit(), "__aenter__")):
        c = probe.with_cm(manager, Step([]))
        with pytest.raises(AttributeError) as info:
            c.send(None)
        assert str(info.value) == missing


# ---- under event loops -------------------------------------------------------------

@pytest.fixture(params=["asyncio", "uvloop"])
def new_loop(request):
    if request.param == "uvloop":
        uvloop = pytest.importorskip("uvloop")
        return uvloop.new_event_loop
    return asyncio.new_event_loop


@pytest.mark.timeout(30)
def test_under_tasks(new_loop):
    for impl in IMPLS:
        log = []

        async def main():
            lock = asyncio.Lock()
            results = await asyncio.gather(*(
                body(impl, "with_cm")(lock, asyncio.sleep(0.001, i)) for i in range(20)))
            assert results == list(range(20))
            task = asyncio.ensure_future(body(impl, "cleanup")(asyncio.sleep(10), log))
            await asyncio.sleep(0.01)
            task.cancel()
            with pytest.raises(asyncio.CancelledError):
                await task
            assert log == ["cleanup"]
            assert not lock.locked()
            # a task awaiting a runtime coroutine awaiting a runtime coroutine
            assert await asyncio.wait_for(
                body(impl, "await_value")(body(impl, "identity")("deep")), 5) == "deep"

        loop = new_loop()
        try:
            loop.run_until_complete(main())
        finally:
            loop.close()


@pytest.mark.timeout(30)
def test_cancellation_through_async_with_releases_the_lock():
    async def main():
        lock = asyncio.Lock()
        task = asyncio.create_task(probe.with_cm(lock, asyncio.sleep(10)))
        await asyncio.sleep(0.01)
        assert lock.locked()
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        assert not lock.locked()

    asyncio.run(main())


# ---- lifetimes -------------------------------------------------------------------------

def test_cycle_through_the_awaited_iterator_is_collected():
    class Cyclic:
        def __await__(self):
            yield "x"

    aw = Cyclic()
    aw.coro = c = probe.await_value(aw)
    c.send(None)
    ref = weakref.ref(c)
    del aw, c
    gc.collect()
    assert ref() is None


def test_cycle_through_a_held_value_is_collected():
    class Box:
        pass

    async def give(x):
        return x

    log = []
    box = Box()
    box.coro = c = probe.await_both(give(box), Step(log))
    c.send(None)  # holds `box` across the second await
    ref = weakref.ref(c)
    del box, c
    gc.collect()
    assert ref() is None
    assert log == ["inner closed"]


def test_many_calls_reuse_records():
    for _ in range(100):
        c = probe.await_both(identity(1), identity(2))
        with pytest.raises(StopIteration) as info:
            c.send(None)
        assert info.value.value == (1, 2)


def test_a_reused_stop_iteration_carries_nothing_of_the_last_one():
    def stop(value):
        try:
            probe.identity(value).send(None)
        except StopIteration as e:
            return e

    first = stop("first")
    second = stop("second")  # `first` is still referenced: it stays as it is
    assert (first.value, first.args, second.value) == ("first", ("first",), "second")
    second.add_note("note")
    second.__cause__, second.__context__ = KeyError(), ValueError()
    del first, second
    third = stop("third")
    assert (third.value, third.args, third.__cause__, third.__context__,
            third.__suppress_context__) == ("third", ("third",), None, None, False)
    assert not hasattr(third, "__notes__")
    assert len(traceback.extract_tb(third.__traceback__)) == 1
