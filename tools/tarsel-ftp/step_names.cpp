#include "step_names.h"

#include "tree_walk.h"

namespace tarselftp {

std::string OperationName(Verb verb) {
    if (const CommandInfo* info = FindCommand(verb)) return std::string(info->operation);
    switch (verb) {
    case Verb::MgetList: return "Ls";
    case Verb::MirrorStart: case Verb::ParallelStart: return "Pwd";
    case Verb::MirrorList:
    case Verb::MirrorUpList: return "Dir";
    case Verb::MirrorTime: return "Quote";
    case Verb::WalkList: case Verb::GlobList: case Verb::ClsList: return "Dir";
    default: return "?";
    }
}

std::string TypedName(Verb verb) {
    if (const CommandInfo* info = FindCommand(verb)) return std::string(info->name);
    switch (verb) {
    case Verb::MgetList: return "mget";
    case Verb::MirrorStart:
    case Verb::MirrorList:
    case Verb::MirrorUpList:
    case Verb::MirrorTime: return "mirror";
    case Verb::WalkList: return "find";
    case Verb::ClsList: return "cls";
    default: return "?";
    }
}

std::string TypedName(const Command& command) {
    if (command.verb == Verb::GlobList && command.args.size() == 3) return command.args[2];
    return command.verb == Verb::WalkList ? TypedName(command.walk) : TypedName(command.verb);
}

bool IsTransfer(Verb verb) {
    if (const CommandInfo* info = FindCommand(verb)) return info->transfers;
    return verb == Verb::MgetList || verb == Verb::MirrorList || verb == Verb::MirrorUpList ||
           verb == Verb::WalkList || verb == Verb::GlobList || verb == Verb::ClsList;
}

std::string Subject(const std::string& operation, const std::vector<std::string>& args) {
    std::string subject = operation;
    for (const std::string& a : args) subject += " " + a;
    return subject;
}

}  // namespace tarselftp
