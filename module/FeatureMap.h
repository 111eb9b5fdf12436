// The collection in memory: every stored picture's key and feature vector, in byte-wise key order.
// The map owns both; the search index beside it only points into it.
#ifndef LIKENESS_MODULE_FEATUREMAP_H
#define LIKENESS_MODULE_FEATUREMAP_H

#include <map>
#include <string>
#include <vector>

using FeatureMap = std::map<std::string, std::vector<float>>;

#endif
