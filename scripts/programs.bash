# Where the scripts find what they start; sourced by them, not run. Needs $root, the clone.

# The Release build that scripts/build makes.
release_dir="$root/build/release"
# The pinned Codex CLI that scripts/setup installs.
pinned_codex_dir="$root/.tools/codex/node_modules/.bin"

# program_path BUILD_DIR NAME: prints where that build put program NAME, from the list the
# build writes (cmake/ProgramList.cmake), so that no script knows the build's folders.
program_path() {
    local list="$1/programs.list" name path
    if [[ -r "$list" ]]; then
        while read -r name path; do
            if [[ "$name" == "$2" ]]; then
                if [[ -x "$path" ]]; then
                    printf '%s\n' "$path"
                    return 0
                fi
                echo "scripts/${0##*/}: the build did not produce $2 (looked for $path)" >&2
                return 1
            fi
        done <"$list"
    fi
    echo "scripts/${0##*/}: $list does not name $2; is $1 a configured build folder?" >&2
    return 1
}
