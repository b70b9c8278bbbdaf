#pragma once
// Reading what the daemon answers: fields of its JSON records, an image's
// record, and the failure a pull reports after its answer began (what a load
// reports is read in ImageLoad.cpp).
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/ContainerRuntimeInterface.h"

namespace Quayd {

// A text field of a JSON object; empty when absent or not text.
String textOf( nlohmann::json const & j, char const * key );
// A member of a JSON object; null when absent.
nlohmann::json const & memberOf( nlohmann::json const & j, char const * key );

// The health check's status and its last output (bounded) from a
// container's inspect "State" into `r`.
void healthOf( nlohmann::json const & state, ContainerRecord & r );

// The record of the image asked for as `name`, from its inspect answer.
ImageRecord imageRecordOf( nlohmann::json const & inspect, String const & name );

// Throws RuntimeException when the progress lines of a pull of `image` end
// in an error.
void checkPullProgress( String const & body, String const & image );

} // namespace Quayd
