#include "processing/state_policy.h"

#include "core/text.h"

const char* const noOutputText = "DAEMON: the plugin does not return anything on the stdout";
const char* const outputCutMark = "\n[output cut at 1 MiB]";

namespace {

std::string header(const std::string& cause, const RunTexts& texts)
{
  std::string text = cause;
  if (texts.serviceName)
    text += " " + *texts.serviceName;
  return text + "\npath:" + texts.path + " " + texts.parameter;
}

std::string badReturnCode(const RunTexts& texts)
{
  std::string text = "Error execute: Bad return code\n";
  if (texts.serviceName)
    text += *texts.serviceName + "\n";
  return text + "path:" + texts.path + " " + texts.parameter + " ";
}

Verdict failedRun(std::string failure)
{
  Verdict verdict;
  verdict.failed = true;
  verdict.failure = std::move(failure);
  return verdict;
}

} // namespace

std::string storableOutput(const std::string& raw) { return validUtf8(raw.substr(0, raw.find('\0'))); }

Verdict judgeRun(const RunResult& run, const RunTexts& texts)
{
  switch (run.ending) {
  case RunResult::Ending::failed:
    return failedRun(
        header(runStepText(run.failedStep), texts) + (run.detail.empty() ? run.error.message() : run.detail));
  case RunResult::Ending::timedOut:
    return failedRun(header("Error plugin timeout (" + std::to_string(texts.timeoutSeconds) + " s)", texts));
  case RunResult::Ending::cancelled:
    return failedRun(header("Error plugin stopped: the Receiver is stopping", texts));
  case RunResult::Ending::signaled:
    return failedRun(header("Error: quelm can't execute", texts) + run.output);
  case RunResult::Ending::exited:
    break;
  }
  Verdict verdict;
  std::string clean = storableOutput(run.output);
  if (run.outputCut && run.output.find('\0') == std::string::npos)
    clean += outputCutMark;
  if (run.exitStatus <= 5) {
    verdict.state = stateFromNumber(run.exitStatus);
    verdict.output = clean;
  } else if (run.exitStatus == 255) {
    verdict.output = "UNKNOWN: QuelmDaemon could not connect to host";
  } else {
    verdict.output = badReturnCode(texts) + clean;
  }
  if (clean.empty() || clean == "''")
    return failedRun(noOutputText);
  return verdict;
}

std::vector<std::string> alertingArguments(const std::vector<std::string>& arguments, const std::string& errorId)
{
  std::vector<std::string> out;
  out.reserve(arguments.size());
  for (const std::string& argument : arguments)
    out.push_back(argument.find("$ERROR") != std::string::npos ? errorId : argument);
  return out;
}

std::string alertFailure(
    const RunResult& run, const std::string& path, const std::string& parameter, int timeoutSeconds)
{
  if (run.ending == RunResult::Ending::timedOut)
    return "Error alerting program timeout (" + std::to_string(timeoutSeconds) + " s) ALERTE" + path + " " + parameter;
  if (run.ending == RunResult::Ending::cancelled)
    return "Error alerting program stopped: the Receiver is stopping ALERTE" + path + " " + parameter;
  if (run.failedStep == RunStep::none)
    return "";
  const char* cause = run.failedStep == RunStep::createFork ? "Error create fork ALERTE" : "Error execute ALERTE";
  return cause + path + " " + parameter + run.error.message();
}
