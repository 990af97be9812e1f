"""Algorithmic child trade record, built from the SDK's update by from_vorn."""
from .._records import AlgoRecord


class AlgoChildTrade(AlgoRecord):
    pass
