#!/usr/bin/env bash
# keynook-cli against the real keepassxc-cli, both ways:
#   1. A KeePass XML written here by hand (commas, quotes, line breaks,
#      Zoë, пароль and an emoji, an empty username, two groups, a TOTP, an
#      entry with history and one in the recycle bin) becomes a database by
#      `keepassxc-cli import`; keepassxc-cli exports it as CSV and as XML,
#      and keynook-cli imports each: every kept field byte for byte (through
#      keynook-cli export --format json) and every dropped thing counted in
#      the report.
#   2. Keynook's XML export is imported by keepassxc-cli and exported again
#      as CSV and XML, which keynook-cli imports: every field equal. A CR
#      survives KeePassXC's CSV; its XML export writes CRs raw, which every
#      XML reader (KeePassXC's own included) reads as LF, so through that
#      way a CR comes back as an LF.
# Skipped (77) only when keepassxc-cli is not installed.
#
# Usage: keepassxc.sh <keynook-cli>
set -u

CLI=${1:?usage: $0 <keynook-cli>}
if ! command -v keepassxc-cli >/dev/null; then
    echo "SKIP: keepassxc-cli is not installed (Debian's keepassxc)"
    exit 77
fi

WORK=$(mktemp -d "${TMPDIR:-/tmp}/keynook-keepassxc.XXXXXX") || exit 1
trap 'rm -rf "$WORK"' EXIT
export HOME="$WORK/home" XDG_CONFIG_HOME="$WORK/config" XDG_DATA_HOME="$WORK/data"
export XDG_CACHE_HOME="$WORK/cache"
mkdir -p "$HOME" "$XDG_CONFIG_HOME" "$XDG_DATA_HOME" "$XDG_CACHE_HOME"
cd "$WORK" || exit 1

DB_PASSWORD='db password'
MASTER='master password'
failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

# The cheapest key derivation keepassxc-cli allows: 100 ms.
kx_import() { # xml database
    printf '%s\n%s\n' "$DB_PASSWORD" "$DB_PASSWORD" |
        keepassxc-cli import -q -p -t 100 "$1" "$2" >"$WORK/kx.log" 2>&1 ||
        { cat "$WORK/kx.log"; fail "keepassxc-cli import $1"; }
}
kx_export() { # database format output
    printf '%s\n' "$DB_PASSWORD" | keepassxc-cli export -q -f "$2" "$1" >"$3" 2>"$WORK/kx.log" ||
        { cat "$WORK/kx.log"; fail "keepassxc-cli export -f $2 $1"; }
}
# keynook-cli on a vault of its own; stderr is kept in $WORK/<vault>.err.
kn() { # vault command...
    local vault=$1
    shift
    printf '%s\n' "$MASTER" | "$CLI" --vault "$WORK/$vault.enc" --password-stdin "$@" \
        2>"$WORK/$vault.err"
}
# A new vault with FILE imported; its entries as keynook-cli's JSON.
import_into() { # vault file json-out
    kn "$1" init >/dev/null || fail "init $1"
    kn "$1" import "$2" || { cat "$WORK/$1.err"; fail "import $2"; }
    cp "$WORK/$1.err" "$WORK/$1.report"
    kn "$1" export --format json - >"$3" || fail "export of $1"
}
same() { # expected actual what
    if ! cmp -s "$1" "$2"; then
        fail "$3 differ"
        diff <(od -c "$1") <(od -c "$2") | head -n 20
    fi
}
reports() { # vault text
    grep -qF -- "$2" "$WORK/$1.report" || fail "the report of $1 does not say: $2
    it says: $(cat "$WORK/$1.report")"
}

# ---------------------------------------------------------------------------
# 1. KeePassXC's database, made from a file written by hand.

entry() { # uuid title username password url [notes] [more strings] [history]
    cat <<EOF
<Entry><UUID>$1</UUID>
<String><Key>Title</Key><Value>$2</Value></String>
<String><Key>UserName</Key><Value>$3</Value></String>
<String><Key>Password</Key><Value ProtectInMemory="True">$4</Value></String>
<String><Key>URL</Key><Value>$5</Value></String>
<String><Key>Notes</Key><Value>${6:-}</Value></String>
${7:-}${8:+<History>$8</History>}
</Entry>
EOF
}
BIN=Ky7S9KEqQvKbUFBgLWaBYA==
{
    echo '<?xml version="1.0" encoding="UTF-8"?>'
    echo "<KeePassFile><Meta><Generator>hand</Generator><RecycleBinEnabled>True</RecycleBinEnabled>"
    echo "<RecycleBinUUID>$BIN</RecycleBinUUID></Meta><Root>"
    echo "<Group><UUID>WlGgbUQ9SBmxxqL2pucV+g==</UUID><Name>Root</Name>"
    entry AAAAAAAAAAAAAAAAAAAAAQ== 'Mail, personal' anna 'p,"q"' https://mail.example/login \
        'line one
line two' '' "$(entry AAAAAAAAAAAAAAAAAAAAAQ== Mail anna old https://mail.example/login)"
    entry AAAAAAAAAAAAAAAAAAAAAg== "Zoë's router" '' 'пароль 🔑' ''
    entry AAAAAAAAAAAAAAAAAAAAAw== Bank zoë 'two
lines' https://bank.example '' \
        '<String><Key>otp</Key><Value>otpauth://totp/Bank?secret=JBSWY3DPEHPK3PXP</Value></String>'
    echo "<Group><UUID>X3hgizOFRAeNl/goNpE72g==</UUID><Name>Work</Name>"
    entry AAAAAAAAAAAAAAAAAAAABA== Intranet bob s3cret http://intranet.example:8080/ 'VPN first'
    echo "</Group><Group><UUID>Y3hgizOFRAeNl/goNpE72g==</UUID><Name>Home</Name>"
    entry AAAAAAAAAAAAAAAAAAAABQ== NAS admin '&lt;admin&gt; &amp;' ''
    echo "</Group><Group><UUID>$BIN</UUID><Name>Recycle Bin</Name>"
    entry AAAAAAAAAAAAAAAAAAAABg== Old old gone https://old.example
    echo "</Group></Group></Root></KeePassFile>"
} >hand.xml

kx_import hand.xml made.kdbx
kx_export made.kdbx csv made.csv
kx_export made.kdbx xml made.xml

# What Keynook keeps of it, in the database's order. KeePassXC's CSV holds
# the recycle bin's entry too, in the group "Root/Recycle Bin", and its XML
# says which group is the bin: both imports skip it.
printf '%s\n' '[' \
    '{"username":"anna","password":"p,\"q\"","location":"https://mail.example/login"},' \
    '{"username":"","password":"пароль 🔑","location":"Zoë'"'"'s router"},' \
    '{"username":"zoë","password":"two\nlines","location":"https://bank.example"},' \
    '{"username":"bob","password":"s3cret","location":"http://intranet.example:8080/"},' \
    '{"username":"admin","password":"<admin> &","location":"NAS"}' ']' >want-csv.json
cp want-csv.json want-xml.json

import_into from-csv made.csv from-csv.json
same want-csv.json from-csv.json "the entries of KeePassXC's CSV"
reports from-csv "Imported 5 entries from made.csv (CSV in the keepassxc layout). Skipped 1 entry in the recycle bin. Not kept: 2 groups, 3 titles, 2 notes, 1 TOTP secret."

import_into from-xml made.xml from-xml.json
same want-xml.json from-xml.json "the entries of KeePassXC's XML"
reports from-xml "Imported 5 entries from made.xml (KeePass XML). Skipped 1 older version of an entry (its history). Skipped 1 entry in the recycle bin. Not kept: 2 groups, 3 titles, 2 notes, 1 TOTP secret. The vault holds 5 entries."

# ---------------------------------------------------------------------------
# 2. Keynook's XML into KeePassXC, and back by its CSV and its XML.

printf '%s\n' '[' \
    '{"username":"Zoë","password":"a\r\nb\rc","location":"https://Mail.Example.com/login"},' \
    '{"username":"","password":"пароль 🔑, \"q\"","location":"Home router"},' \
    '{"username":"x<y&z>","password":" spaced ","location":""},' \
    '{"username":"tab\there","password":"two\nlines","location":"ftp://files.example/"}' \
    ']' >ours.json
import_into ours ours.json ours-again.json
same ours.json ours-again.json "our own JSON"
kn ours export ours.xml || fail "export --format xml by its name"
grep -q '<KeePassFile>' ours.xml || fail "ours.xml is not KeePass XML"
import_into ours-back ours.xml ours-back.json
same ours.json ours-back.json "our XML read back by us"

kx_import ours.xml ours.kdbx
kx_export ours.kdbx csv theirs.csv
kx_export ours.kdbx xml theirs.xml
import_into theirs-csv theirs.csv theirs-csv.json
same ours.json theirs-csv.json "our entries through KeePassXC's CSV"
reports theirs-csv "Imported 4 entries from theirs.csv (CSV in the keepassxc layout). The vault holds 4 entries."
import_into theirs-xml theirs.xml theirs-xml.json
sed 's/a\\r\\nb\\rc/a\\nb\\nc/' ours.json >ours-lf.json
same ours-lf.json theirs-xml.json "our entries through KeePassXC's XML (CR read as LF)"
reports theirs-xml "Imported 4 entries from theirs.xml (KeePass XML). The vault holds 4 entries."

if ((failures > 0)); then
    echo "$failures failed"
    exit 1
fi
echo "keynook-cli and keepassxc-cli $(keepassxc-cli --version) agree"
