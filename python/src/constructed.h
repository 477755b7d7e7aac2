// Objects of the module's classes that T.__new__ made without __init__.
// pybind11 hands their methods a T in memory it allocates on first use
// and never constructs; using it crashes. Objects that __init__ or the
// module made are registered instances, those are not.
#ifndef OFULK_CONSTRUCTED_H
#define OFULK_CONSTRUCTED_H

#include "errors.h"

#include <pybind11/pybind11.h>

#include <string>
#include <typeinfo>
#include <utility>

namespace ulk::python {

// object itself, or a TypeError naming its class when it was never
// constructed.
template <typename T> T& constructed(T& object)
{
    const pybind11::detail::type_info* type =
        pybind11::detail::get_type_info(typeid(T));
    if (!pybind11::detail::get_object_handle(&object, type))
        raiseTypeError(std::string(type->type->tp_name) +
                       " object made by __new__ without __init__");
    return object;
}

// A method for pybind11 that calls method on constructed(self).
template <typename T, typename R, typename... Args>
auto constructedMethod(R (T::*method)(Args...))
{
    return [method](T& self, Args... args) -> R {
        return (constructed(self).*method)(std::forward<Args>(args)...);
    };
}

template <typename T, typename R, typename... Args>
auto constructedMethod(R (T::*method)(Args...) const)
{
    return [method](const T& self, Args... args) -> R {
        return (constructed(self).*method)(std::forward<Args>(args)...);
    };
}

} // namespace ulk::python

#endif
