"""Find, in a collection of pictures, the ones that look most like a query picture.

A collection lives in a home: a folder holding the model (model/), the feature file (feat.txt)
and the stored copies of its pictures, as `likeness init` makes it::

    import likeness

    with likeness.Collection("pics-home") as pictures:
        print(pictures.add("cat.jpg"))             # AddOutcome(key='pictures/cat.jpg', result='added')
        for key, distance in pictures.search("query.jpg", n=5):
            print(key, distance)
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
    "key_for",
    "same_picture",
    "same_pictures",
    "shard_of",
]

