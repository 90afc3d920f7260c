#!/bin/sh
# The configuration tool as a person uses it, on a real X display (Xvfb):
# it opens, "Ok" is clicked with the mouse, the options are saved and it
# ends with status 0. In the sanitizer build that also means no leak of ours
# at exit. Exit status 77 (skipped) where Xvfb or xdotool are missing.
# Usage: ok_on_a_display.sh PATH/TO/VentoroConfig
set -u
for tool in xvfb-run xdotool; do
    command -v "$tool" >/dev/null 2>&1 || { echo "no $tool here: skipped"; exit 77; }
done
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
cp "$1" "$dir/VentoroConfig"
printf '[General]\r\nMOTD=Hi\r\nDebug=0\r\n' > "$dir/VentoroServer.ini"
cat > "$dir/drive.sh" <<'DRIVE'
cd "$1"
./VentoroConfig > output.txt 2>&1 &
tool=$!
window=""
for i in $(seq 1 100); do
    window=$(xdotool search --name "Brisalt Ventoro Server Configuration" 2>/dev/null | head -n 1)
    [ -n "$window" ] && break
    sleep 0.1
done
[ -n "$window" ] || { echo "the window never appeared"; kill -9 $tool; exit 1; }
sleep 1
# The centre of "&Ok": left 9180, top 2430, 1005 by 645 twips, 15 to a pixel.
xdotool mousemove --window "$window" 645 183 click 1
for i in $(seq 1 100); do
    kill -0 $tool 2>/dev/null || break
    sleep 0.1
done
if kill -0 $tool 2>/dev/null; then
    echo "still running 10 s after Ok"; kill -9 $tool; exit 1
fi
wait $tool
DRIVE
timeout 90 xvfb-run -a sh "$dir/drive.sh" "$dir"
status=$?
cat "$dir/output.txt"
[ "$status" -eq 0 ] || { echo "VentoroConfig ended with status $status"; exit 1; }
grep -q 'Debug=0' "$dir/VentoroServer.ini" && grep -q 'ShowScreen=' "$dir/VentoroServer.ini" \
    || { echo "Ok did not save the options"; exit 1; }
echo "Ok saved the options and the tool ended with status 0"
