#include "ConfigFile.h"

#include <toml++/toml.h>

#include <cmath>
#include <sstream>
#include <vector>

namespace lumo_collect {

namespace {

enum class Kind { Switch, Integer, Number, Text, Integers, Texts };

struct Key {
    const char *name;
    Kind kind;
};

constexpr Key kKeys[] = {
    {"tcp", Kind::Integers},
    {"listen", Kind::Texts},
    {"serial", Kind::Texts},
    {"accept", Kind::Texts},
    {"params", Kind::Text},
    {"hold", Kind::Switch},
    {"no-sleep", Kind::Switch},
    {"db", Kind::Text},
    {"csv", Kind::Text},
    {"jsonl", Kind::Text},
    {"hdf5", Kind::Text},
    {"exit-when-idle", Kind::Number},
    {"max-devices", Kind::Integer},
    {"max-connections", Kind::Integer},
    {"verbose", Kind::Integer},
    {"no-status", Kind::Switch},
    {"log-file", Kind::Text},
    {"log-format", Kind::Text},
    {"http", Kind::Text},
    {"http-token-file", Kind::Text},
    {"expect-every", Kind::Text},
};

const char *kindName(Kind kind)
{
    switch (kind) {
    case Kind::Switch:
        return "true or false";
    case Kind::Integer:
        return "an integer";
    case Kind::Number:
        return "a number";
    case Kind::Text:
        return "a string";
    case Kind::Integers:
        return "an integer or an array of integers";
    case Kind::Texts:
        return "a string or an array of strings";
    }
    return "";
}

const Key *findKey(const std::string &name)
{
    for (const Key &k : kKeys)
        if (name == k.name)
            return &k;
    return nullptr;
}

// One scalar as the text its option takes; false when it is not of the kind.
bool scalarText(const toml::node &node, Kind kind, std::string &text)
{
    if ((kind == Kind::Integer || kind == Kind::Integers || kind == Kind::Number) &&
        node.is_integer()) {
        text = std::to_string(node.as_integer()->get());
        return true;
    }
    if (kind == Kind::Number && node.is_floating_point()) {
        std::ostringstream s;
        s << node.as_floating_point()->get();
        text = s.str();
        return true;
    }
    if ((kind == Kind::Text || kind == Kind::Texts) && node.is_string()) {
        text = node.as_string()->get();
        return true;
    }
    return false;
}

// The command-line arguments a key's value stands for; false when its type is wrong.
bool argsOf(const Key &key, const toml::node &node, std::vector<std::string> &args)
{
    const std::string option = std::string("--") + key.name;
    if (key.kind == Kind::Switch) {
        if (!node.is_boolean())
            return false;
        if (node.as_boolean()->get())
            args.push_back(option);
        return true;
    }
    const bool list = key.kind == Kind::Integers || key.kind == Kind::Texts;
    std::vector<const toml::node *> items;
    if (list && node.is_array()) {
        for (const toml::node &item : *node.as_array())
            items.push_back(&item);
    } else {
        items.push_back(&node);
    }
    for (const toml::node *item : items) {
        std::string text;
        if (!scalarText(*item, key.kind, text))
            return false;
        if (std::string(key.name) == "verbose") {
            args.push_back("--verbose=" + text); // refused below unless 0, 1 or 2
            continue;
        }
        args.insert(args.end(), {option, text});
    }
    return true;
}

std::string where(const std::string &path, const toml::source_region &source,
                  const std::string &key)
{
    return path + ":" + std::to_string(source.begin.line) + ": " + key + ": ";
}

} // namespace

bool loadConfigFile(const std::string &path, Options &o, std::string &error)
{
    toml::table table;
    try {
        table = toml::parse_file(path);
    } catch (const toml::parse_error &e) {
        const auto &begin = e.source().begin;
        // A file that cannot be read at all is reported without a line.
        error = begin.line == 0
                    ? path + ": " + std::string(e.description())
                    : path + ":" + std::to_string(begin.line) + ":" + std::to_string(begin.column) +
                          ": not valid TOML: " + std::string(e.description());
        return false;
    }
    Options fromFile;
    for (const auto &[name, node] : table) {
        const std::string keyName(name.str());
        const Key *key = findKey(keyName);
        if (!key) {
            error = where(path, name.source(), keyName) + "unknown key";
            return false;
        }
        std::vector<std::string> args;
        if (!argsOf(*key, node, args)) {
            error = where(path, node.source(), keyName) + "expected " + kindName(key->kind);
            return false;
        }
        std::string why;
        if (!parseCollectArgs(args, fromFile, why)) {
            const std::string echo = "--" + keyName + ": "; // the key is named already
            if (why.rfind(echo, 0) == 0)
                why.erase(0, echo.size());
            error = where(path, node.source(), keyName) + why;
            return false;
        }
    }
    fromFile.given.clear();
    o = fromFile;
    return true;
}

} // namespace lumo_collect
