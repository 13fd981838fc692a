// kt-inspect form: the exact bytes the feedback dialog would post for the given values.
#include <cstdio>
#include <vector>

#include "inspect.h"
#include "ktreporter/formbody.h"
#include "platform/codepage.h"

namespace ktinspect {
namespace {

int RunForm(const Args& vecArgs) {
    const ParsedArgs args = ParseArgs(
        vecArgs, {"type", "user", "name", "email", "phone", "title", "desc", "attach"}, {}, 0, 0);
    const long long nType = args.GetNumber("type", -1);
    if (nType < INT32_MIN || nType > INT32_MAX) UsageError("--type is out of range");
    // Options arrive as UTF-8; the dialog's fields are UTF-16 and go through the same cuts.
    const auto wide = [&args](const char* pszName) { return kt::FromUtf8(args.Get(pszName)); };
    const std::u16string strAttach = wide("attach");
    const kt::FEEDBACK_FORM form =
        kt::MakeFeedbackForm(static_cast<int32_t>(nType), wide("user"), wide("name"), wide("email"),
                             wide("phone"), wide("title"), wide("desc"), strAttach);
    std::vector<char> vecBody;
    if (kt::BuildFeedbackBody(form, strAttach, vecBody) != 0) {
        std::fprintf(stderr, "kt-inspect: not enough memory for the form body\n");
        return 1;
    }
    if (!vecBody.empty() &&
        std::fwrite(vecBody.data(), 1, vecBody.size(), stdout) != vecBody.size()) {
        return 1;
    }
    std::fflush(stdout);
    return 0;
}

const Registrar s_registrar(
    "form",
    "form [--type N] [--user U] [--name S] [--email S] [--phone S] [--title S] [--desc S] "
    "[--attach PATH]",
    &RunForm);

}  // namespace
}  // namespace ktinspect
