# Sourced by the scripts that run Wine prefixes under one scratch folder.
# kvn_stop_wine_servers ROOT: stops the persistent wineserver (-p) of every prefix below ROOT;
# such a server outlives everything else of a run.
kvn_stop_wine_servers() {
  local root=$1 pfx
  for pfx in "$root"/*/; do
    [ -f "$pfx/system.reg" ] || continue
    TMPDIR=$root WINEPREFIX=${pfx%/} wineserver -k >/dev/null 2>&1
    TMPDIR=$root WINEPREFIX=${pfx%/} timeout 30 wineserver -w >/dev/null 2>&1
  done
}
