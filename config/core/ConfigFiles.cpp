#include "ConfigFiles.h"

#include "AccountsFileLayout.h"

namespace ConfigFiles {

std::string settingsFilePath(const std::string &directory, const std::string &fileName)
{
    if (!directory.empty() && directory.back() == '/')
        return directory + fileName;
    return directory + "/" + fileName;
}

void bindSettingsFiles(Context &context, const std::string &programDirectory)
{
    context.UsersIni.FileName(settingsFilePath(programDirectory, AccountsFileLayout::FileName));
    context.UsersIni.setNewFileMode(AccountsFileLayout::NewFileMode);
    context.ServerIni.FileName(settingsFilePath(programDirectory, "VentoroServer.ini"));
}

} // namespace ConfigFiles
