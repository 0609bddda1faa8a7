"""inspect.signature() and help() describe every class of corvane and every method of it."""
import asyncio
import inspect
import pydoc
import re

import pytest

from orvix.utils.corvane.corvane import AsyncDispatcher, AsyncQueue, SyncDispatcher, ThreadedDispatcher

CLASSES = [AsyncDispatcher, SyncDispatcher, ThreadedDispatcher, AsyncQueue]


def without_layout(text):
    """help() text without spaces, line breaks and the class section's bars:
    from 3.13 on, a signature too long for a line is shown one parameter a line."""
    return re.sub(r"[\s|]+", "", text)


def construct_with_keywords(cls, signature):
    """An instance built with every parameter of `signature` passed by keyword, at its default."""
    arguments = {name: p.default for name, p in signature.parameters.items()}
    if cls is AsyncQueue:
        arguments["loop"] = loop = asyncio.new_event_loop()
        loop.close()
    else:
        arguments["callback"] = print
    return cls(**arguments)


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
def test_class_and_methods_have_truthful_signatures(cls):
    for name, attribute in vars(cls).items():
        if callable(attribute):
            inspect.signature(attribute)
    signature = inspect.signature(cls)
    construct_with_keywords(cls, signature)
    too_many = [print] + [None] * len(signature.parameters)
    with pytest.raises(TypeError, match=f"takes at most {len(signature.parameters)} positional arguments"):
        cls(*too_many)
    assert without_layout(f"{cls.__name__}{signature}") in without_layout(
        pydoc.render_doc(cls, renderer=pydoc.plaintext))
    assert not hasattr(construct_with_keywords(cls, signature), "__signature__")


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
def test_subclasses_keep_or_replace_the_signature(cls):
    class Plain(cls):
        pass

    class Own(cls):
        def __init__(self, callback, *, extra=1):
            pass

    assert inspect.signature(Plain) == inspect.signature(cls)
    assert str(inspect.signature(Own)) == "(callback, *, extra=1)"
