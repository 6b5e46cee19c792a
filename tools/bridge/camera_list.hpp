// Which cameras one bridge serves and under which ROS namespaces: from the
// command line (addresses plus --namespace) or from a small file with one
// camera per line. Pure: texts in, camera configurations or an error out.
#pragma once

#include <string>
#include <vector>

#include "camera.hpp"

namespace bridge {

// Checks and normalises a ROS namespace: "/cell1/left/" -> "cell1/left".
// Each part starts with a letter or '_' and holds letters, digits and '_'.
bool normalize_namespace(std::string& ns, std::string& error);

// Cameras given as addresses: one camera gets `ns`; several get ns/cam0,
// ns/cam1, ... in the order given. frame_id defaults to the namespace with
// '/' replaced by '_'.
bool cameras_from_addresses(const std::vector<std::string>& addresses, const std::string& ns,
                            std::vector<CameraConfig>& out, std::string& error);

// The camera file: one camera per line, "ADDRESS NAMESPACE [FRAME_ID]",
// separated by blanks; '#' starts a comment. Namespaces must differ.
bool cameras_from_file_text(const std::string& text, std::vector<CameraConfig>& out, std::string& error);

}  // namespace bridge
