#!/usr/bin/env bash
# Prints the size of the Windows Installer package and of the files it holds.
set -euo pipefail
dist="${BUILD_DIR:?}/dist"
package=$(ls -t "$dist"/Quorvane-*-x64.msi | head -n 1)
packed=$(stat -c %s "$package")
files=0 held=0
for file in "$dist"/*; do
  [[ $file == *.msi ]] && continue
  files=$((files + 1)) held=$((held + $(stat -c %s "$file")))
done
echo "$(basename "$package"): $packed bytes ($((packed / 1024)) KiB)"
echo "holds $files files of $held bytes ($((held / 1024)) KiB): packed to $((packed * 100 / held))%"
