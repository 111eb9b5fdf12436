// The Python module likeness._likeness: a collection in a home, over likeness::Collection, with
// the library's outcomes as Python values and its failures as exceptions carrying their reason.
// Long calls let other Python threads run; every call runs in the home (HomeCall.h).
#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "HomeCall.h"
#include "module/Collection.h"
#include "module/CollectionFiles.h"
#include "module/FeatureContract.h"
#include "module/KeySafety.h"
#include "module/SamePicture.h"
#include "module/ShardKey.h"

namespace py = pybind11;
namespace fs = std::filesystem;

namespace likeness_python {
namespace {

const char* const kDefaultFolder = "pictures/";

// The library could not use a picture (a query, or one to extract): why, and which kind of failure.
struct QueryFailed {
    likeness::QueryStatus status;
    std::string reason;
};

struct MissingFile {
    std::string path;
};

// What Python raises for the library's own refusals; set when the module is loaded.
struct ErrorTypes {
    py::handle error;           // likeness.Error
    py::handle notDecodable;    // likeness.NotDecodable
    py::handle downloadFailed;  // likeness.DownloadFailed
};
ErrorTypes errorTypes;

struct LikenessError {
    std::string what;
};

// Text to bytes and back as Python does for file names (os.fsencode, os.fsdecode), so that any
// key the file system holds comes through, and byte order decides as the library does.
std::string fileNameBytes(py::handle text, const char* what) {
    py::object path = py::reinterpret_borrow<py::object>(text);
    if (!py::isinstance<py::str>(path) && !py::isinstance<py::bytes>(path)) {
        if (!py::hasattr(path, "__fspath__"))
            throw py::type_error(std::string(what) + " is a str, bytes or os.PathLike; got " +
                                 std::string(py::str(path.get_type().attr("__name__"))));
        path = path.attr("__fspath__")();
    }
    if (py::isinstance<py::bytes>(path)) return path.cast<std::string>();
    PyObject* encoded = PyUnicode_EncodeFSDefault(path.ptr());
    if (encoded == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::bytes>(encoded).cast<std::string>();
}

py::str fileNameText(const std::string& bytes) {
    PyObject* decoded = PyUnicode_DecodeFSDefaultAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size()));
    if (decoded == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::str>(decoded);
}

// A picture as Python gave it: a local path, a URL (any "scheme://": the library refuses the ones
// it does not fetch, saying so) or the bytes of a picture file.
struct Picture {
    enum class Kind { path, url, bytes } kind;
    std::string text;
    std::vector<unsigned char> bytes;
};

bool looksLikeUrl(const std::string& text) {
    const std::size_t colon = text.find("://");
    if (colon == std::string::npos || colon == 0) return false;
    for (std::size_t i = 0; i < colon; ++i)
        if (!std::isalnum(static_cast<unsigned char>(text[i])) && text[i] != '+' && text[i] != '-' && text[i] != '.')
            return false;
    return true;
}

Picture pictureFrom(py::handle object) {
    if (py::isinstance<py::array>(object))
        throw py::type_error("a picture is a path, a URL or the bytes of a picture file, not an array");
    if (PyObject_CheckBuffer(object.ptr()) && !py::isinstance<py::str>(object)) {
        const py::buffer_info view = py::reinterpret_borrow<py::buffer>(object).request();
        const auto* data = static_cast<const unsigned char*>(view.ptr);
        return {Picture::Kind::bytes, "", std::vector<unsigned char>(data, data + view.size * view.itemsize)};
    }
    std::string text = fileNameBytes(object, "a picture");
    const Picture::Kind kind = looksLikeUrl(text) ? Picture::Kind::url : Picture::Kind::path;
    return {kind, std::move(text), {}};
}

// The folder a picture is stored in (ending in "/"), and its name when the caller chose it.
struct Placement {
    std::string folder = kDefaultFolder;
    std::string name;  // empty: the picture's own name
};

Placement placementFrom(py::handle key, const Picture* picture) {
    Placement placement;
    if (key.is_none()) return placement;
    const std::string text = fileNameBytes(key, "a key");
    const fs::path path(text);
    if (text.empty() || path.is_absolute() || (path.begin() != path.end() && *path.begin() == ".."))
        throw py::value_error("the key " + text + " lies outside the home");
    if (text.back() == '/') {
        placement.folder = text;
        return placement;
    }
    if (picture != nullptr && picture->kind != Picture::Kind::bytes)
        throw py::value_error(
            "a file or a URL keeps its own name: give the key as a folder ending in \"/\", "
            "or pass the picture's bytes to choose the whole key");
    const std::size_t slash = text.rfind('/');
    placement.folder = slash == std::string::npos ? "" : text.substr(0, slash + 1);
    placement.name = text.substr(slash == std::string::npos ? 0 : slash + 1);
    return placement;
}

std::vector<float> vectorFrom(py::handle object) {
    if (!py::isinstance<py::array>(object)) throw py::type_error("a feature vector is a numpy array of float32");
    const py::array array = py::reinterpret_borrow<py::array>(object);
    if (!array.dtype().is(py::dtype::of<float>()))
        throw py::type_error("a feature vector is float32; got " + std::string(py::str(array.dtype())) +
                             " (convert it with .astype(numpy.float32))");
    if (array.ndim() != 1 || array.shape(0) != likeness::kFeatureDim)
        throw py::value_error("a feature vector has shape (" + std::to_string(likeness::kFeatureDim) + ",); got " +
                              std::string(py::str(array.attr("shape"))));
    std::vector<float> vector(likeness::kFeatureDim);
    const auto values = py::reinterpret_borrow<py::array_t<float>>(array).unchecked<1>();
    for (py::ssize_t i = 0; i < likeness::kFeatureDim; ++i) {
        if (!std::isfinite(values(i)))
            throw py::value_error("the feature vector holds NaN or infinity at " + std::to_string(i));
        vector[static_cast<std::size_t>(i)] = values(i);
    }
    return vector;
}

py::array_t<float> vectorArray(const std::vector<float>& vector) {
    py::array_t<float> array(static_cast<py::ssize_t>(vector.size()));
    std::copy(vector.begin(), vector.end(), array.mutable_data());
    return array;
}

int topNFrom(py::handle n) {
    if (n.is_none()) return -1;
    const long long count = n.cast<long long>();
    if (count < 0) throw py::value_error("n is a count: 0 or more, or None for every picture");
    return count > INT_MAX ? INT_MAX : static_cast<int>(count);
}

void requireExisting(const std::string& path) {
    struct stat status;
    if (stat(path.c_str(), &status) != 0 && errno == ENOENT) throw MissingFile{path};
}

const char* resultName(likeness::AddResult result) {
    switch (result) {
    case likeness::AddResult::added: return "added";
    case likeness::AddResult::alreadyPresent: return "already_present";
    case likeness::AddResult::downloadFailed: return "download_failed";
    case likeness::AddResult::notDecodable: return "not_decodable";
    case likeness::AddResult::keyRefused: return "key_refused";
    case likeness::AddResult::notStored: return "not_stored";
    }
    return "unknown";
}

// What became of one picture given to add, as Python sees it.
struct AddOutcome {
    std::string key;
    std::string result;
    std::string reason;
};

AddOutcome outcomeOf(const likeness::AddOutcome& outcome) {
    return {outcome.key, resultName(outcome.result), outcome.reason};
}

std::vector<float> requireVector(likeness::ExtractOutcome&& extracted) {
    if (extracted.status != likeness::QueryStatus::ok) throw QueryFailed{extracted.status, extracted.reason};
    return std::move(extracted.vector);
}

py::list matchList(const std::vector<likeness::Match>& matches) {
    py::list list;
    for (const likeness::Match& match : matches)
        list.append(py::make_tuple(fileNameText(match.key), static_cast<double>(match.distance)));
    return list;
}

class Collection {
public:
    Collection(py::handle homeArgument, py::handle featureFileArgument) {
        const std::string given = fileNameBytes(homeArgument, "a home");
        const std::string featureFile = featureFileArgument.is_none()
                                            ? std::string(likeness::kDefaultFeatureFile)
                                            : fileNameBytes(featureFileArgument, "a feature file");
        py::gil_scoped_release released;
        HomeCall call(given);
        home = call.absolute(given);
        if (!fs::exists(home)) throw MissingFile{home};
        if (!fs::is_directory(home)) throw LikenessError{home.string() + " is not a folder"};
        for (const char* modelFile : {likeness::kModelNetPath, likeness::kModelWeightsPath}) {
            // The library would end the process over a missing model.
            if (!fs::is_regular_file(home / modelFile))
                throw LikenessError{home.string() + " has no model: " + (home / modelFile).string() +
                                    " is missing (likeness init makes a home with one)"};
        }
        call.enter();
        collection = std::make_unique<likeness::Collection>(featureFile);
    }

    void close() {
        if (!collection) return;
        py::gil_scoped_release released;
        HomeCall call(home);
        call.enter();
        collection.reset();
    }

    bool closed() const { return !collection; }
    std::string homePath() const { return home.string(); }

    AddOutcome add(py::handle pictureArgument, py::handle key) {
        const Picture picture = pictureFrom(pictureArgument);
        const Placement placement = placementFrom(key, &picture);
        return inHome([&](HomeCall& call) {
            const std::string path = localPath(picture, call);
            call.enter();
            makeFolder(placement.folder);
            return outcomeOf(addOne(picture, path, placement));
        });
    }

    // One outcome per picture, in order. A batch of URLs only is fetched and appended as one batch
    // (Collection::addUrls: one write of the feature file for all of them).
    std::vector<AddOutcome> addMany(const py::iterable& pictureArguments, py::handle key) {
        std::vector<Picture> pictures;
        bool urlsOnly = true;
        for (py::handle argument : pictureArguments) {
            pictures.push_back(pictureFrom(argument));
            urlsOnly = urlsOnly && pictures.back().kind == Picture::Kind::url;
        }
        const Placement placement = placementFrom(key, nullptr);
        if (!placement.name.empty())
            throw py::value_error(
                "add_many stores every picture under its own name: "
                "give the key as a folder ending in \"/\"");
        return inHome([&](HomeCall& call) {
            std::vector<std::string> paths;
            for (const Picture& picture : pictures) paths.push_back(localPath(picture, call));
            call.enter();
            makeFolder(placement.folder);
            std::vector<AddOutcome> outcomes;
            if (urlsOnly && !pictures.empty()) {
                std::vector<std::string> urls;
                for (const Picture& picture : pictures) urls.push_back(picture.text);
                std::vector<likeness::AddOutcome> added;
                collection->addUrls(urls, placement.folder, added);
                for (const likeness::AddOutcome& outcome : added) outcomes.push_back(outcomeOf(outcome));
                return outcomes;
            }
            for (std::size_t i = 0; i < pictures.size(); ++i)
                outcomes.push_back(outcomeOf(addOne(pictures[i], paths[i], placement)));
            return outcomes;
        });
    }

    py::list search(py::handle query, py::handle n) {
        const int topN = topNFrom(n);
        if (py::isinstance<py::array>(query)) {
            const std::vector<float> vector = vectorFrom(query);
            return matchList(inHome([&](HomeCall& call) {
                call.enter();
                return collection->searchVector(vector, topN).matches;
            }));
        }
        const Picture picture = pictureFrom(query);
        return matchList(inHome([&](HomeCall& call) {
            const std::string path = localPath(picture, call);
            call.enter();
            likeness::SearchOutcome found = picture.kind == Picture::Kind::path ? collection->searchFile(path, topN)
                                            : picture.kind == Picture::Kind::url
                                                ? collection->searchUrl(picture.text, topN)
                                                : collection->searchBytes(picture.bytes, topN);
            if (found.status != likeness::QueryStatus::ok) throw QueryFailed{found.status, found.reason};
            return std::move(found.matches);
        }));
    }

    py::array_t<float> extract(py::handle pictureArgument) {
        const Picture picture = pictureFrom(pictureArgument);
        return vectorArray(inHome([&](HomeCall& call) {
            const std::string path = localPath(picture, call);
            call.enter();
            switch (picture.kind) {
            case Picture::Kind::path: return requireVector(collection->extractFile(path));
            case Picture::Kind::url: return requireVector(collection->extractUrl(picture.text));
            case Picture::Kind::bytes: break;
            }
            return requireVector(collection->extractBytes(picture.bytes));
        }));
    }

    py::array_t<float> vector(py::handle keyArgument) {
        const std::string key = fileNameBytes(keyArgument, "a key");
        const std::optional<std::vector<float>> stored = inHome([&](HomeCall&) -> std::optional<std::vector<float>> {
            const std::vector<float>* found = collection->vectorOf(key);
            if (found == nullptr) return std::nullopt;
            return *found;
        });
        if (!stored) throw py::key_error(std::string(fileNameText(key)));
        return vectorArray(*stored);
    }

    bool contains(py::handle keyArgument) {
        const std::string key = fileNameBytes(keyArgument, "a key");
        return inHome([&](HomeCall&) { return collection->vectorOf(key) != nullptr; });
    }

    py::list keys() {
        const std::vector<std::string> all = inHome([&](HomeCall&) { return collection->keys(); });
        py::list list;
        for (const std::string& key : all) list.append(fileNameText(key));
        return list;
    }

    std::size_t size() {
        return inHome([&](HomeCall&) { return collection->size(); });
    }

    std::size_t remove(py::handle keyArguments) {
        std::vector<std::string> keys;
        if (py::isinstance<py::str>(keyArguments) || py::isinstance<py::bytes>(keyArguments))
            keys.push_back(fileNameBytes(keyArguments, "a key"));
        else
            for (py::handle key : py::reinterpret_borrow<py::iterable>(keyArguments))
                keys.push_back(fileNameBytes(key, "a key"));
        const likeness::RemoveOutcome removal = inHome([&](HomeCall& call) {
            call.enter();
            return collection->remove(keys);
        });
        if (!removal.reason.empty()) throw LikenessError{removal.reason};
        return removal.removed;
    }

    // Without a threshold: the pairs that are the same picture, as likeness dupes groups them.
    py::list nearPairs(py::handle threshold) {
        const std::optional<float> below =
            threshold.is_none() ? std::nullopt : std::optional<float>(threshold.cast<float>());
        struct Pair {
            std::string first, second;
            float distance;
        };
        const std::vector<Pair> pairs = inHome([&](HomeCall&) {
            const std::vector<likeness::NearPair> near =
                below ? collection->nearPairs(*below) : collection->samePicturePairs();
            std::vector<Pair> found;
            for (const likeness::NearPair& pair : near) found.push_back({*pair.first, *pair.second, pair.distance});
            return found;
        });
        py::list list;
        for (const Pair& pair : pairs)
            list.append(py::make_tuple(fileNameText(pair.first), fileNameText(pair.second),
                                       static_cast<double>(pair.distance)));
        return list;
    }

private:
    // Runs work with the GIL released and the process's lock held; work enters the home when it needs to.
    template <class Work>
    auto inHome(Work&& work) -> decltype(work(std::declval<HomeCall&>())) {
        if (!collection) throw py::value_error("the collection is closed");
        py::gil_scoped_release released;
        HomeCall call(home);
        return work(call);
    }

    // The absolute path of a picture given by its path, which must exist; empty for any other. Taken
    // before the call enters the home, as the path is relative to the caller's working folder.
    static std::string localPath(const Picture& picture, const HomeCall& call) {
        if (picture.kind != Picture::Kind::path) return "";
        const std::string path = call.absolute(picture.text);
        if (!path.empty()) requireExisting(path);
        return path;
    }

    // Adds picture, whose localPath is path, in the home.
    likeness::AddOutcome addOne(const Picture& picture, const std::string& path, const Placement& placement) {
        switch (picture.kind) {
        case Picture::Kind::path: return collection->addFile(path, placement.folder);
        case Picture::Kind::url: return collection->addUrl(picture.text, placement.folder);
        case Picture::Kind::bytes: break;
        }
        return collection->addBytes(picture.bytes, placement.folder, placement.name);
    }

    // The folder a picture is stored in, which the library does not create.
    static void makeFolder(const std::string& folder) {
        std::error_code ignored;  // a folder that cannot be made shows as the library's "not stored"
        if (!folder.empty()) fs::create_directories(folder, ignored);
    }

    fs::path home;
    std::unique_ptr<likeness::Collection> collection;
};

// The key add would store picture under, given key as add takes it.
py::str keyFor(py::handle pictureArgument, py::handle key) {
    const Picture picture = pictureFrom(pictureArgument);
    const Placement placement = placementFrom(key, &picture);
    if (!placement.name.empty()) return fileNameText(placement.folder + placement.name);
    if (picture.kind != Picture::Kind::bytes) return fileNameText(makeKey(picture.text, placement.folder));
    likeness::BytesName name;
    name.add(picture.bytes.data(), picture.bytes.size());
    return fileNameText(placement.folder + name.name());
}

py::list samePictures(const py::iterable& matches) {
    std::vector<likeness::Match> marked;
    for (py::handle match : matches) {
        const py::tuple pair = py::reinterpret_borrow<py::tuple>(match);
        marked.push_back({"", pair[1].cast<float>(), false});
    }
    likeness::markSamePictures(marked);
    py::list marks;
    for (const likeness::Match& match : marked) marks.append(match.samePicture);
    return marks;
}

void raiseWith(py::handle type, const std::string& reason) {
    PyErr_SetString(type.ptr(), reason.c_str());
}

}  // namespace
}  // namespace likeness_python

PYBIND11_MODULE(_likeness, module) {
    using namespace likeness_python;
    module.doc() = "The likeness library: collections of pictures searched by visual similarity";

    py::object error = py::reinterpret_steal<py::object>(PyErr_NewExceptionWithDoc(
        "likeness.Error", "The library refused or could not do what was asked; the message says why.", nullptr,
        nullptr));
    py::object notDecodable = py::reinterpret_steal<py::object>(PyErr_NewExceptionWithDoc(
        "likeness.NotDecodable", "A picture could not be decoded: the message says why.", error.ptr(), nullptr));
    py::object downloadFailed = py::reinterpret_steal<py::object>(
        PyErr_NewExceptionWithDoc("likeness.DownloadFailed",
                                  "A picture's URL could not be fetched: the message says why.", error.ptr(), nullptr));
    module.attr("Error") = error;
    module.attr("NotDecodable") = notDecodable;
    module.attr("DownloadFailed") = downloadFailed;
    errorTypes = {error.release(), notDecodable.release(), downloadFailed.release()};

    py::register_exception_translator([](std::exception_ptr thrown) {
        try {
            if (thrown) std::rethrow_exception(thrown);
        } catch (const QueryFailed& failure) {
            const bool fetch = failure.status == likeness::QueryStatus::downloadFailed;
            raiseWith(fetch ? errorTypes.downloadFailed : errorTypes.notDecodable, failure.reason);
        } catch (const LikenessError& failure) {
            raiseWith(errorTypes.error, failure.what);
        } catch (const MissingFile& missing) {
            const py::object filename = fileNameText(missing.path);
            PyErr_SetObject(PyExc_FileNotFoundError, py::make_tuple(ENOENT, std::strerror(ENOENT), filename).ptr());
        } catch (const FolderError& failure) {
            PyErr_SetObject(PyExc_OSError, py::make_tuple(failure.error, failure.what()).ptr());
        }
    });

    py::class_<AddOutcome>(module, "AddOutcome", "What became of one picture given to add")
        .def_property_readonly(
            "key", [](const AddOutcome& outcome) { return fileNameText(outcome.key); },
            "Where the picture is stored, or would have been")
        .def_readonly("result", &AddOutcome::result,
                      "added, already_present, download_failed, not_decodable, key_refused or not_stored")
        .def_readonly("reason", &AddOutcome::reason, "Why it was not added, for a person; empty when it was")
        .def_property_readonly(
            "added", [](const AddOutcome& outcome) { return outcome.result == "added"; }, "Whether it was stored")
        .def("__eq__",
             [](const AddOutcome& outcome, const AddOutcome& other) {
                 return outcome.key == other.key && outcome.result == other.result && outcome.reason == other.reason;
             })
        .def(py::pickle(
            [](const AddOutcome& outcome) {
                return py::make_tuple(py::bytes(outcome.key), outcome.result, outcome.reason);
            },
            [](const py::tuple& state) {
                return AddOutcome{state[0].cast<std::string>(), state[1].cast<std::string>(),
                                  state[2].cast<std::string>()};
            }))
        .def("__repr__", [](const AddOutcome& outcome) {
            return "AddOutcome(key=" + std::string(py::repr(fileNameText(outcome.key))) + ", result='" +
                   outcome.result + "'" +
                   (outcome.reason.empty() ? "" : ", reason=" + std::string(py::repr(py::str(outcome.reason)))) + ")";
        });

    py::class_<Collection>(module, "Collection")
        .def(py::init<py::handle, py::handle>(), py::arg("home"), py::arg("feature_file") = py::none())
        .def("close", &Collection::close)
        .def("__enter__", [](py::object self) { return self; })
        .def("__exit__", [](Collection& collection, const py::args&) { collection.close(); })
        .def_property_readonly("closed", &Collection::closed)
        .def_property_readonly("home", &Collection::homePath)
        .def("add", &Collection::add, py::arg("picture"), py::arg("key") = py::none())
        .def("add_many", &Collection::addMany, py::arg("pictures"), py::arg("key") = py::none())
        .def("search", &Collection::search, py::arg("query"), py::arg("n") = 10)
        .def("extract", &Collection::extract, py::arg("picture"))
        .def("vector", &Collection::vector, py::arg("key"))
        .def("keys", &Collection::keys)
        .def("remove", &Collection::remove, py::arg("keys"))
        .def("near_pairs", &Collection::nearPairs, py::arg("threshold") = py::none())
        .def("__len__", &Collection::size)
        .def("__contains__", &Collection::contains);

    module.def("key_for", &keyFor, py::arg("picture"), py::arg("key") = py::none());
    module.def("shard_of", [](py::handle key, std::size_t count) {
        if (count == 0) throw py::value_error("a collection has at least one shard");
        return likeness::shardOf(fileNameBytes(key, "a key"), count);
    });
    module.def("same_pictures", &samePictures, py::arg("matches"));
    module.def("same_picture", &likeness::samePicture, py::arg("distance"));
    module.attr("SAME_PICTURE_BELOW") = likeness::samePictureBelow();
    module.attr("FEATURE_DIM") = likeness::kFeatureDim;
}
