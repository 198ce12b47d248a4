#include "headless/headless_agent.hpp"

#include "headless/control_cli.hpp"

namespace tessarine {

HeadlessAgent::HeadlessAgent(asio::any_io_executor executor, AgentController::Options options,
                             std::filesystem::path socketPath,
                             std::function<void(std::string)> onPrompt)
    : controller_(std::make_shared<AgentController>(executor, std::move(options))),
      server_(executor, controller_, std::move(socketPath)) {
    // The callbacks belong to the controller, which coroutines may keep a
    // moment longer than this object: they hold nothing of ours.
    controller_->onRequestTrust = [onPrompt = std::move(onPrompt)](const Uuid& id,
                                                                   const std::string& name) {
        if (onPrompt)
            onPrompt(trustPromptLine(id, name));
    };
    std::weak_ptr<AgentController> weak = controller_;
    auto last = std::make_shared<std::string>();
    controller_->addObserver([weak, last, log = log_] {
        auto controller = weak.lock();
        if (!controller)
            return;
        // Observers also run for changes of the trusted list; log the state
        // only when it changed.
        std::string description = controller->state().description();
        if (description == *last)
            return;
        *last = description;
        log.info("Agent state: %{public}s", description);
    });
}

HeadlessAgent::~HeadlessAgent() {
    controller_->onRequestTrust = nullptr;
}

asio::awaitable<void> HeadlessAgent::start() {
    // The socket first: a second agent learns at once that one is running,
    // before it competes for the listening port.
    server_.start();
    co_await controller_->start();
    if (controller_->state().kind == AgentController::State::Kind::failed)
        log_.error("Agent could not start: %{public}s", controller_->state().error);
}

asio::awaitable<void> HeadlessAgent::stop() {
    if (stopped_)
        co_return;
    stopped_ = true;
    co_await controller_->quit(quitPatience);
    server_.stop();
}

} // namespace tessarine
