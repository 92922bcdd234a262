// spare_nodes.h - map entries that come and go once per frame (an MDL's record, an
// indication's): the node of an entry erased is kept for the next one instead of being
// freed and allocated again.
#pragma once

#include <cstddef>
#include <utility>
#include <vector>

namespace sim {

template <typename Map>
class SpareNodes {
public:
    explicit SpareNodes(size_t most) : most_(most) {}

    // Adds key -> value to `map` in a kept node when there is one.
    void Emplace(Map &map, typename Map::key_type key, typename Map::mapped_type value)
    {
        if (spares_.empty()) {
            map.emplace(std::move(key), std::move(value));
            return;
        }
        auto node = std::move(spares_.back());
        spares_.pop_back();
        node.key() = std::move(key);
        node.mapped() = std::move(value);
        map.insert(std::move(node));
    }

    // Erases the entry at `at`, keeping its node while fewer than `most` are kept. The value
    // stays in the node until the node serves again: what it must not keep, the caller
    // takes out first.
    void Erase(Map &map, typename Map::const_iterator at)
    {
        auto node = map.extract(at);
        if (spares_.size() < most_)
            spares_.push_back(std::move(node));
    }

private:
    size_t most_;
    std::vector<typename Map::node_type> spares_;
};

}  // namespace sim
