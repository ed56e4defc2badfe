#!/usr/bin/env bash
# Screenshots of the real program as a new user meets it, for review after any change to the
# window. Runs Tickvane under a virtual X display with a throw-away home, twice:
#   1. "Custom API" against a loopback quote server, a filled watchlist (a six-digit price, a
#      nine-digit volume, a long option name, two symbols the service does not know), the
#      backfill's custom range and the feed running: the main window at 1000 x 700 and at
#      1366 x 768, every page of the settings dialog (after Test API), the window during an outage
#      of the quote server (HTTP 503) and after Clear All;
#   2. a broker with a cached instrument master: the quick-add popup;
#   3. a broker whose master cannot be fetched: the symbol manager the window opens for it.
# Broker hosts do not resolve in the sandbox this runs in; nothing reaches them.
# Usage: tools/screenshots.sh [output folder]   (default: build/screenshots)
# TICKVANE_EXE may name the executable; otherwise the newest build found is used.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
OUT="$(mkdir -p "${1:-$ROOT/build/screenshots}" && cd "${1:-$ROOT/build/screenshots}" && pwd)"

rm -f "$OUT"/[0-9][0-9]-*.png   # this script's own earlier pictures

EXE="${TICKVANE_EXE:-}"
if [ -z "$EXE" ]; then
    for candidate in "$ROOT/build/bench/src/app/Tickvane" "$ROOT/build/test/src/app/Tickvane"; do
        if [ -x "$candidate" ]; then EXE="$candidate"; break; fi
    done
fi
[ -x "$EXE" ] || { echo "No Tickvane executable: build first or set TICKVANE_EXE" >&2; exit 1; }

# The display server and the tools that drive and photograph it.
missing=()
command -v Xvfb >/dev/null || missing+=(xvfb)
command -v xdotool >/dev/null || missing+=(xdotool)
command -v import >/dev/null || missing+=(imagemagick)
command -v python3 >/dev/null || missing+=(python3)
fc-list 2>/dev/null | grep -qi "Noto Color Emoji" || missing+=(fonts-noto-color-emoji)
if [ ${#missing[@]} -gt 0 ]; then
    sudo=""; [ "$(id -u)" -ne 0 ] && sudo="sudo"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

WORK="$(mktemp -d)"
PIDS=()
cleanup() {
    for pid in "${PIDS[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    # SCREENSHOTS_KEEP=1 keeps the homes and the program's logs for a look afterwards.
    if [ "${SCREENSHOTS_KEEP:-0}" = 1 ]; then echo "kept $WORK"; else rm -rf "$WORK"; fi
}
trap cleanup EXIT

display=99
while [ -e "/tmp/.X11-unix/X$display" ] || [ -e "/tmp/.X$display-lock" ]; do display=$((display + 1)); done
export DISPLAY=":$display"
Xvfb "$DISPLAY" -screen 0 1400x950x24 -nolisten tcp >"$WORK/xvfb.log" 2>&1 &
PIDS+=($!)
for _ in $(seq 50); do xdotool getdisplaygeometry >/dev/null 2>&1 && break; sleep 0.1; done

# A loopback "Custom API": each symbol has its own price; a symbol without an open shows "--";
# the service does not know the UNKNOWN ones.
cat >"$WORK/quotes.py" <<'PY'
import http.server, json, os, sys, urllib.parse, zlib
OUTAGE = sys.argv[1]  # while this file exists the service answers 503
PRICES = {"NIFTY": 12345.65, "RELIANCE": 2950.4, "TCS": 3890.15, "INFY": 1520.75, "ACME": 88.5,
          "MRF": 122845.55, "HDFCBANK": 1650.25, "NIFTY24DEC24500CE": 245.5}
OPENS = {"MRF": 121000.05}  # a change of 1845.50
VOLUMES = {"MRF": 123456789, "HDFCBANK": 98765432}
class Quotes(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        symbol = urllib.parse.parse_qs(urllib.parse.urlparse(self.path).query).get("symbol", [""])[0]
        if self.headers.get("X-API-Key") != "demo-key" or not symbol:
            self.send_response(401); self.end_headers(); return
        if os.path.exists(OUTAGE):
            self.send_response(503); self.send_header("Content-Length", "0"); self.end_headers(); return
        if symbol.startswith("UNKNOWN"):
            self.send_response(404); self.send_header("Content-Length", "0"); self.end_headers(); return
        price = PRICES.get(symbol, 100 + zlib.crc32(symbol.encode()) % 900)
        body = {"symbol": symbol, "price": price, "high": round(price * 1.01, 2),
                "low": round(price * 0.99, 2), "volume": VOLUMES.get(symbol, 1234567)}
        if symbol != "ACME":
            body["open"] = OPENS.get(symbol, round(price * 0.995, 2))
        data = json.dumps(body).encode()
        self.send_response(200)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        self.wfile.write(data)
    def log_message(self, *args):
        pass
server = http.server.HTTPServer(("127.0.0.1", 0), Quotes)
print(server.server_address[1], flush=True)
server.serve_forever()
PY
python3 "$WORK/quotes.py" "$WORK/outage" >"$WORK/port" &
PIDS+=($!)
for _ in $(seq 50); do [ -s "$WORK/port" ] && break; sleep 0.1; done
PORT="$(head -n1 "$WORK/port")"

# Starts the program in a home of its own; sets APP to its process id.
start_program() {
    local home="$1"
    HOME="$home" XDG_CONFIG_HOME="$home/.config" XDG_DATA_HOME="$home/.local/share" \
        XDG_CACHE_HOME="$home/.cache" XDG_RUNTIME_DIR="$home/run" TMPDIR="$home/tmp" \
        QT_QPA_PLATFORM=xcb "$EXE" >"$home/stdout.log" 2>"$home/stderr.log" &
    APP=$!
    PIDS+=("$APP")
}
# The Clear All button of the main window's toolbar.
CLEAR_ALL_X=453
CLEAR_ALL_Y=91
window_of() { xdotool search --sync --onlyvisible --name "$1" | head -n1; }
shot() { import -window "$1" "$OUT/$2.png"; echo "saved $OUT/$2.png"; }
stop_program() { kill "$APP" 2>/dev/null || true; wait "$APP" 2>/dev/null || true; }

# ---- 1: the "Custom API" with a running feed -----------------------------------------------
HOME1="$WORK/custom"
mkdir -p "$HOME1/.config/Tickvane" "$HOME1/run" "$HOME1/tmp"
chmod 700 "$HOME1/run"
cat >"$HOME1/.config/Tickvane/Tickvane.conf" <<INI
[API]
provider=6
apiKey=demo-key
customUrl=http://127.0.0.1:$PORT/quote
rateLimit=600

[Connection]
connectOnStartup=true

[Data]
currentBroker=Custom API
brokerNames=Custom API
watchlist_Custom%20API=NIFTY, RELIANCE, TCS, INFY, ACME, MRF, HDFCBANK, NIFTY24DEC24500CE, UNKNOWN-BAJAJ-AUTO-EQ, UNKNOWN-ICICIPRULI-EQ

[Historical]
DateRange=Custom Range
INI
start_program "$HOME1"
MAIN="$(window_of "Tickvane Connector")"
sleep 9   # connect at 1 s, then a few polls
close_error_boxes() {
    for box in $(xdotool search --onlyvisible --name "^Error$" 2>/dev/null); do
        xdotool key --window "$box" Escape 2>/dev/null || true
    done
}
close_error_boxes   # the unknown symbols' box
sleep 2
shot "$MAIN" 01-main-window
eval "$(xdotool getwindowgeometry --shell "$MAIN")"
echo "main window with the custom range: ${WIDTH}x${HEIGHT} (must fit 1366 px)"
xdotool windowsize "$MAIN" 1366 768
sleep 3
shot "$MAIN" 01-main-window-1366
eval "$(xdotool getwindowgeometry --shell "$MAIN")"
echo "main window made 1366 x 768: ${WIDTH}x${HEIGHT}"
xdotool windowsize "$MAIN" 1000 700
sleep 2

xdotool windowactivate --sync "$MAIN" 2>/dev/null || xdotool windowfocus --sync "$MAIN"
xdotool key --window "$MAIN" ctrl+s
SETTINGS="$(window_of "Tickvane Settings")"
sleep 1
xdotool mousemove --window "$SETTINGS" 625 124 click 1   # Test API: one real quote request
sleep 1
pages=(api-provider logging market-hours)
for i in "${!pages[@]}"; do
    shot "$SETTINGS" "$(printf '02-settings-%d-%s' $((i + 1)) "${pages[$i]}")"
    xdotool windowfocus --sync "$SETTINGS" 2>/dev/null || true
    xdotool key --window "$SETTINGS" ctrl+Tab
    sleep 0.5
done
xdotool key --window "$SETTINGS" Escape

# The quote server fails: the label says why and one box tells what to check, however many
# symbols and rounds fail.
touch "$WORK/outage"
sleep 12   # two poll rounds
shot root 05-quote-outage
rm -f "$WORK/outage"
close_error_boxes
sleep 6   # the next good round
xdotool windowactivate --sync "$MAIN" 2>/dev/null || xdotool windowfocus --sync "$MAIN"
xdotool mousemove --window "$MAIN" "$CLEAR_ALL_X" "$CLEAR_ALL_Y" click 1   # Clear All
QUESTION="$(timeout 3 xdotool search --sync --onlyvisible --name "Clear Watchlist" | head -n1 || true)"
if [ -z "$QUESTION" ]; then
    # Under Xvfb a click may be lost after a box was closed; the button has the focus now.
    xdotool key space
    QUESTION="$(timeout 5 xdotool search --sync --onlyvisible --name "Clear Watchlist" | head -n1 || true)"
fi
if [ -n "$QUESTION" ]; then
    xdotool windowactivate --sync "$QUESTION" 2>/dev/null || true
    xdotool key alt+y
    sleep 6   # a poll round with nothing left to ask for
    shot root 06-after-clear-all
else
    echo "Clear All asked nothing" >&2
fi
stop_program

# ---- 2: a broker with a cached master: quick add and the symbol manager ---------------------
HOME2="$WORK/broker"
DATA2="$HOME2/.local/share/Tickvane/Tickvane"
mkdir -p "$HOME2/.config/Tickvane" "$DATA2" "$HOME2/run" "$HOME2/tmp"
chmod 700 "$HOME2/run"
# A master counts as current when fetched after 08:00 today, or after 08:00 yesterday while it
# is still before 08:00.
if [ "$(date +%H)" -lt 8 ]; then fetched="$(date -d yesterday +%Y-%m-%dT09:00:00)"; else fetched="$(date +%Y-%m-%dT08:30:00)"; fi
cat >"$DATA2/zerodha_nse_symbols.csv" <<CSV
instrument_token,exchange_token,tradingsymbol,name,last_price,expiry,strike,tick_size,lot_size,instrument_type,segment,exchange
738561,2885,RELIANCE,RELIANCE INDUSTRIES,0,,0,0.05,1,EQ,NSE,NSE
408065,1594,INFY,INFOSYS,0,,0,0.05,1,EQ,NSE,NSE
2953217,11536,TCS,TATA CONSULTANCY SERV,0,,0,0.05,1,EQ,NSE,NSE
341249,1333,HDFCBANK,HDFC BANK,0,,0,0.05,1,EQ,NSE,NSE
256265,1000,NIFTY 50,NIFTY 50,0,,0,0,0,EQ,INDICES,NSE
13368834,52222,RELIANCE24DECFUT,RELIANCE,0,2024-12-26,0,0.05,250,FUT,NFO-FUT,NFO
CSV
printf '{"fetchedAt":"%s","broker":"Zerodha","exchange":"NSE","symbolCount":6}\n' "$fetched" \
    >"$DATA2/zerodha_nse_symbols.csv.meta.json"
cat >"$HOME2/.config/Tickvane/Tickvane.conf" <<INI
[API]
provider=0
zerodhaApiKey=demo
zerodhaApiSecret=demo
zerodhaAccessToken=demo

[Data]
currentBroker=Zerodha
brokerNames=Zerodha
watchlist_Zerodha=408065, 738561
INI
start_program "$HOME2"
MAIN="$(window_of "Tickvane Connector")"
# Only NSE is cached and the other exchanges' masters cannot be fetched here: the window names
# them once in a box, which is closed before typing.
MISSING="$(timeout 30 xdotool search --sync --onlyvisible --name "Instrument Masters Incomplete" | head -n1 || true)"
if [ -n "$MISSING" ]; then
    shot root 03-masters-missing
    xdotool windowactivate --sync "$MISSING" 2>/dev/null || true
    xdotool key Return 2>/dev/null || true
fi
sleep 2
xdotool windowactivate --sync "$MAIN" 2>/dev/null || xdotool windowfocus --sync "$MAIN"
xdotool mousemove --window "$MAIN" 500 223 click 1   # into the quick-add field
xdotool type --delay 80 "REL"
sleep 1.5
shot root 03-quick-add-popup
stop_program

# ---- 3: no master: the window opens the symbol manager to load one ---------------------------
HOME3="$WORK/nomaster"
mkdir -p "$HOME3/.config/Tickvane" "$HOME3/run" "$HOME3/tmp"
chmod 700 "$HOME3/run"
cp "$HOME2/.config/Tickvane/Tickvane.conf" "$HOME3/.config/Tickvane/Tickvane.conf"
start_program "$HOME3"
# The start-up download fails at once here; its notice comes up over the window.
NOTICE="$(timeout 60 xdotool search --sync --onlyvisible --name "Symbol Download Failed" | head -n1 || true)"
if [ -n "$NOTICE" ]; then
    shot root 04-startup-download-failed
    xdotool windowactivate --sync "$NOTICE" 2>/dev/null || true
    xdotool key Return 2>/dev/null || true
fi
MAIN="$(window_of "Tickvane Connector")"
sleep 3
xdotool windowactivate --sync "$MAIN" 2>/dev/null || xdotool windowfocus --sync "$MAIN"
xdotool key --window "$MAIN" ctrl+s
SETTINGS="$(window_of "Tickvane Settings")"
sleep 0.5
# Saving announces a change: the window subscribes again and, with no master, opens the manager.
shot "$SETTINGS" 02-settings-4-broker-login
eval "$(xdotool getwindowgeometry --shell "$SETTINGS")"
xdotool mousemove --window "$SETTINGS" $((WIDTH - 130)) $((HEIGHT - 22)) click 1   # OK
MANAGER="$(timeout 20 xdotool search --sync --onlyvisible --name "Symbol Manager" | head -n1 || true)"
if [ -n "$MANAGER" ]; then
    sleep 2   # its load fails here, and says so in a box over the manager
    shot root 04-symbol-manager
else
    echo "the symbol manager did not open" >&2
fi
stop_program
echo "Screenshots are in $OUT"
