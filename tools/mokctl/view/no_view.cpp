// mokctl view in a build without cpp-httplib: the command exists and says why it cannot serve.
#include "../commands.hpp"

namespace mokctl {

void add_view(CLI::App& app, const GlobalOptions&, Runner& run) {
  auto* cmd = app.add_subcommand("view", "Serve a live page of the camera (not in this build).");
  cmd->allow_extras();
  cmd->callback([&run] {
    run = [] {
      throw Failure(kFailed,
                    "This mokctl was built without the viewer: install libcpp-httplib-dev and build again.");
    };
  });
}

}  // namespace mokctl
