#!/usr/bin/env bash
# Sets up the package in .venv and runs the main job on the built-in
# templates: where they are, whether the release manifest agrees with them,
# which skills each release profile and artifact admits, and what doctor
# says about this installation.  Exits with the status of the validation
# (1 when the manifest and the templates disagree); doctor's verdict is
# shown but does not change it.
# Progress lines go to standard error, the report to standard output.
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/python313.sh

progress() { printf '%s\n' "$*" >&2; }

progress "正在准备 Python 环境（.venv）……"
"$PYTHON313" -m venv .venv
.venv/bin/python -m pip install --quiet --upgrade pip
progress "正在构建扩展模块并安装 tarvek-skills 及其依赖（首次约需几分钟）……"
# Installs the runtime dependencies (packaging, shtab) with the package.
.venv/bin/python -m pip install --quiet .
progress "安装完成，开始生成报告。"
skills="$PWD/.venv/bin/tarvek-skills"
cd /  # the installed package, not the source tree

heading() { printf '%s\n' "" "== $*"; }

printf '%s\n' "== 位置"
"$skills" locations
heading "发版清单校验"
status=0
"$skills" validate || status=$?
for pair in python-release:sdist python-release:wheel binary-minimal:binary binary-full:binary; do
  heading "准入的 Skill：profile ${pair%:*}，产物 ${pair#*:}"
  "$skills" select --profile "${pair%:*}" --artifact "${pair#*:}"
done
heading "安装检查（doctor）"
"$skills" doctor || true
exit "$status"
