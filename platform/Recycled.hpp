#pragma once
// Emptied containers kept per thread for their capacity: a query's datagram and
// the lists that carry a batch are taken here and given back once sent, so that
// the next query fills the same memory instead of asking the heap. Each thread
// keeps at most MaxKept of a kind, and none larger than MaxCapacity elements (a
// burst or one large reply does not stay pinned); what is not kept is freed as
// usual. A container given back on another thread than the one that took it joins
// that thread's spares.
#include <cstddef>
#include <type_traits>
#include <utility>
#include <vector>

namespace platform {

template <typename Container, std::size_t MaxKept = 256, std::size_t MaxCapacity = 4096>
class Recycled {
public:
    // An empty container, with the capacity of one given back earlier when there is one.
    static Container take() {
        auto* spares = threadSpares();
        if (!spares || spares->empty()) return Container();
        Container container = std::move(spares->back());
        spares->pop_back();
        return container;
    }
    // Keeps `container`'s memory for a later take(); `container` is left empty.
    static void give(Container&& container) {
        if (container.capacity() == 0 || container.capacity() > MaxCapacity) return;
        auto* spares = threadSpares();
        if (!spares || spares->size() >= MaxKept) return;
        container.clear();
        spares->push_back(std::move(container));
    }
    // Spares this thread keeps (tests).
    static std::size_t kept() {
        auto* spares = threadSpares();
        return spares ? spares->size() : 0;
    }

private:
    struct Spares {
        Spares() {
            list.reserve(MaxKept);
            alive = true;
        }
        ~Spares() { alive = false; }
        std::vector<Container> list;
        // False once the thread's own objects are being destroyed: a container given
        // back by another's destructor then is simply freed.
        static inline thread_local bool alive = false;
    };
    static std::vector<Container>* threadSpares() {
        if (!Spares::alive && sparesMade()) return nullptr;
        thread_local Spares spares;
        sparesMade() = true;
        return Spares::alive ? &spares.list : nullptr;
    }
    static bool& sparesMade() {
        thread_local bool made = false;
        return made;
    }
};

// Gives back each datagram of `datagrams`, then the list itself. The list is taken as an rvalue
// only: an lvalue is refused by give() rather than emptied behind its owner's back.
template <typename DatagramList>
void recycleAll(DatagramList&& datagrams) {
    using Datagram = typename std::decay_t<DatagramList>::value_type;
    for (auto& datagram : datagrams) Recycled<Datagram>::give(std::move(datagram));
    Recycled<std::decay_t<DatagramList>>::give(std::forward<DatagramList>(datagrams));
}

}  // namespace platform
