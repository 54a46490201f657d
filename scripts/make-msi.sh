#!/usr/bin/env bash
# Builds the Windows installer from a folder holding scalepoll.exe,
# scalepoll-console.exe, README.md and LICENSE.txt:
#
#   scripts/make-msi.sh FOLDER VERSION OUTPUT.msi
#
# wixl (msitools) compiles packaging/msi/scalepoll.wxs; wixl has no element
# for environment variables, so msibuild then adds the PATH entry as the
# Windows Installer keeps it: set at install, taken out again at uninstall.
# The manufacturer is the maintainer of debian/changelog. Called by
# scripts/package.sh with the project's version, and by
# scripts/test-windows-packages.sh with a later one to try an upgrade.
set -euo pipefail
folder=$1 version=$2 output=$(realpath -m "$3")
root=$(realpath "$(dirname "$0")/..")

maintainer=$(dpkg-parsechangelog -l "$root/debian/changelog" -S Maintainer)
# wixl finds the files by paths relative to where it runs.
(cd "$folder" && wixl -a x64 -D "Version=$version" -D "Manufacturer=${maintainer% <*}" -D SourceDir=. \
   -o "$output" "$root/packaging/msi/scalepoll.wxs")

# The system PATH ('*') with the install folder in front (';[~]'), set at
# install ('=') and taken out at uninstall ('-'), with the standard actions in
# their usual places. In front rather than at the end: Wine's installer takes
# an entry out of the end but leaves its ';', and Wine's command prompt stops
# searching the PATH at the empty entry that leaves; from the front both
# Windows and Wine take it out whole.
msibuild "$output" \
  -q 'CREATE TABLE `Environment` (`Environment` CHAR(72) NOT NULL, `Name` CHAR(255) NOT NULL LOCALIZABLE,
      `Value` CHAR(255) LOCALIZABLE, `Component_` CHAR(72) NOT NULL PRIMARY KEY `Environment`)' \
  -q "INSERT INTO \`Environment\` (\`Environment\`, \`Name\`, \`Value\`, \`Component_\`)
      VALUES ('InstallFolderOnPath', '=-*PATH', '[INSTALLDIR];[~]', 'Scalepoll')" \
  -q "INSERT INTO \`InstallExecuteSequence\` (\`Action\`, \`Sequence\`) VALUES ('RemoveEnvironmentStrings', 3300)" \
  -q "INSERT INTO \`InstallExecuteSequence\` (\`Action\`, \`Sequence\`) VALUES ('WriteEnvironmentStrings', 5200)"
