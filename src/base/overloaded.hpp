#pragma once

namespace velmora {

// One visitor for std::visit made of lambdas, one per alternative.
template <typename... Fs>
struct Overloaded : Fs... {
    using Fs::operator()...;
};
template <typename... Fs>
Overloaded(Fs...) -> Overloaded<Fs...>;

}  // namespace velmora
