// Boost.JSON and Boost.URL are used header-only; their definitions are compiled once, here.
#include <boost/json/src.hpp>
#include <boost/url/src.hpp>
