"""Find, in a collection of pictures, the ones that look most like a query picture.

A collection lives in a home: a folder holding the model (model/), the feature file (feat.txt)
and the stored copies of its pictures, as `likeness init` makes it::

    import likeness

    with likeness.Collection("pics-home") as pictures:
        print(pictures.add("cat.jpg"))             # AddOutcome(key='pictures/cat.jpg', result='added')
        for key, distance in pictures.search("query.jpg", n=5):
            print(key, distance)

ShardedCollection (likeness.sharded) spreads a collection split by `likeness shard` over the
workers of a Dask cluster.
"""

from ._likeness import (
    FEATURE_DIM,
    SAME_PICTURE_BELOW,
    AddOutcome,
    Collection,
    DownloadFailed,
    Error,
    NotDecodable,
    key_for,
    same_picture,
    same_pictures,
    shard_of,
)

__all__ = [
    "FEATURE_DIM",
    "SAME_PICTURE_BELOW",
    "AddOutcome",
    "Collection",
    "DownloadFailed",
    "Error",
    "NotDecodable",
    "ShardedCollection",
    "ShardsUnavailable",
    "key_for",
    "same_picture",
    "same_pictures",
    "shard_of",
]


def __getattr__(name):
    # The sharded collection needs Dask; importing likeness alone does not.
    if name in ("ShardedCollection", "ShardsUnavailable"):
        from . import sharded

        return getattr(sharded, name)
    raise AttributeError(f"module 'likeness' has no attribute {name!r}")
