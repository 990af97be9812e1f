"""Algorithmic parent order record, built from the SDK's update by from_vorn."""
from .._records import AlgoRecord


class AlgoParentOrder(AlgoRecord):
    pass
