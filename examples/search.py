# Adds the pictures named on the command line to the collection in a home, then prints the five
# stored pictures nearest to the first one, with their distances.
import sys

import likeness

home, pictures = sys.argv[1], sys.argv[2:]
with likeness.Collection(home) as collection:
    for outcome in collection.add_many(pictures):
        print(outcome.key, outcome.result, outcome.reason)
    for key, distance in collection.search(pictures[0], n=5):
        print(f"{distance:8.3f}  {key}")
