"""The framework environment stand-in's one instance per class: made at the first
get_instance(), the same object afterwards (answered from its table, with no Python frame),
dropped by setting `_instance` to None or by reset()."""
from __future__ import annotations


import pytest

from tidesim.framework import environment
from tidesim.framework.environment import Environment

from frames_support import python_calls


@pytest.fixture(autouse=True)
def fresh():
    environment.reset()
    yield
    environment.reset()


class Sub(Environment):
    pass


def test_the_instance_is_made_once_then_answered_without_a_python_frame():
    assert Environment._instance is None
    first, ran = python_calls(Environment.get_instance)
    assert "__init__" in ran and type(first) is Environment
    again, ran = python_calls(Environment.get_instance)
    assert again is first and Environment._instance is first and not ran


@pytest.mark.parametrize("drop", [lambda: setattr(Environment, "_instance", None), environment.reset],
                         ids=["set to None", "reset()"])
def test_a_dropped_instance_is_replaced_by_a_new_empty_one(drop):
    first = Environment.get_instance().configure(instruments=["000001.XSHE"])
    drop()
    assert Environment._instance is None
    second = Environment.get_instance()
    assert second is not first and second.get_universe() == []


def test_an_instance_set_is_the_one_answered():
    mine = Environment()
    Environment._instance = mine
    assert Environment.get_instance() is mine


def test_a_subclass_has_an_instance_of_its_own():
    base = Environment.get_instance()
    sub = Sub.get_instance()
    assert type(sub) is Sub and sub is not base and Sub.get_instance() is sub
    Sub._instance = None
    assert Environment.get_instance() is base and Sub._instance is None
