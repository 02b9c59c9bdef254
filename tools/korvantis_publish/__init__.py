"""Publish a mod folder as a Korvantis update root.

    publish.py [--dry-run] [--prune [--keep N]] [--sign KEY.pem | --unsigned]
               [--include PATTERN]... [--once PATTERN]... [--exclude PATTERN]...
               [--launcher EXE] [--test-host] [--new-host] [--rotate-key] MOD_FOLDER UPDATE_ROOT
    publish.py --rollback [--to NUMBER] [--dry-run] [--sign KEY.pem]
               [--test-host] [--new-host] [--rotate-key] UPDATE_ROOT
    publish.py --verify KEY.pub UPDATE_ROOT

or the same as subcommands (publish.py COMMAND, or python3 -m korvantis_publish COMMAND with
tools/ on the module path), with three more:

    publish [options] MOD_FOLDER UPDATE_ROOT
    rollback [options] UPDATE_ROOT
    verify KEY.pub UPDATE_ROOT
    status UPDATE_ROOT          the served manifest, its launcher, the kept manifests
    keygen KEY.pem              a P-256 key pair: KEY.pem (0600) and KEY.pub beside it
    mirror UPDATE_ROOT DEST     a copy right at every moment (see mirror.py)

Writes UPDATE_ROOT/korvantis/guncelleme/manifest.txt and every file of MOD_FOLDER under
UPDATE_ROOT/korvantis/guncelleme/dosyalar/, ready for a static web server whose document
root is UPDATE_ROOT. Standard library only, so it runs wherever Python 3.8+ does. Folders are
made 0755 and files 0644 whatever the umask: the web server runs as another user.

Every version ever published also stays under surumler/<token>/<name>, where <token> is the
"?v=" value the launcher sends (the first 12 digits of the file's SHA-256), hard-linked to the
dosyalar/ copy where the file system allows. server/korvantis-site.conf answers "?v=" from there, so a
URL that names a version only ever yields that version, whatever was published since. Every
manifest put in place is kept as gecmis/<number>.txt; rollback puts back the newest one before the
served one that names other files (or --to NUMBER) and touches no other file. A publication that
names what is already served, signed alike, writes no manifest: a retry takes no place in the
history. --prune removes the versions that
neither the last N kept manifests (--keep, 3) nor the manifest served until then name.

Manifest order: "Korvantis.exe" first, then every other file sorted by its UTF-8 name.
The launcher keeps going through the whole list after replacing itself and restarts only
at the end, so where the launcher sits does not change what a complete run installs; it
matters when a run is cut short (window closed, connection lost during a large file).
Placed first, the new launcher is in place after a few seconds, and the next start runs
it, with whatever fixes it carries, to fetch the rest. Placed last, a player whose runs
keep being cut short stays on the old launcher indefinitely.

--sign ends the manifest with "#imza <128 hex digits>": the ECDSA P-256 signature (r then s)
over every byte before that line, made with openssl and the maintainer's private key, which
never needs to be on the server. A launcher built with the matching public key
(KORVANTIS_UPDATE_KEY) refuses every manifest without it. The signed bytes begin with the line
"#sira N", N one above the highest serial the root ever served (gecmis/en-yuksek-sira.txt keeps
it past pruned manifests and unsigned ones):
such a launcher refuses a serial below the highest it accepted, so the server cannot serve an
older signed manifest again. verify checks a published root and shows its serial.

Where the served manifest is signed, publishing without --sign is refused unless --unsigned is
given (every launcher with a key would refuse every update from then on), and so is a rollback
without --sign: it puts back the kept manifest's entries as a new manifest, signed with the next
serial and kept like any other.

Whenever the served Korvantis.exe would change, the new one is checked against the served one and
the signing key (launcher_check.py; --test-host, --new-host, --rotate-key allow what is meant).

Refused, all listed at once with nothing written: names the launcher would skip or that Windows
cannot hold, files that cannot be read, and (see unwanted.py) version control folders, system
litter and the files the engine writes at run time. --exclude PATTERN and the lines of the mod
folder's .korvantisignore leave files out, as if the folder did not hold them. --include PATTERN publishes such files anyway (fnmatch on the
"/"-separated name of the file or of one of its folders, letter case ignored; repeatable).

--once PATTERN (repeatable, matched the same way, and implying --include) publishes files as
placed once, for a file such as a default configuration that the player then makes his own: the
line is "#ilk <hash> <size> <name>", the usual three fields after the mark. The launcher puts
such a file in place where the player has none and leaves it alone after; one that does not know
the mark reads a comment. The file is stored, versioned, kept, pruned and rolled back like any
other. A pattern that names the top-level Korvantis.exe is refused: the launcher must always be
current, and launchers ignore such a line.

A publication (with its pruning) and a rollback hold korvantis/guncelleme/.publish-lock; a second
one waits up to 30 s (KORVANTIS_PUBLISH_LOCK_WAIT) and is then refused. Dry runs take no lock.

Exit codes: 0 done, 1 refused (nothing written): names or files, a launcher that would strand
players, lock held, signature refused or a signed root without --sign; 2 usage or I/O error.

The package also holds the maintainers' other tools, each with a script of its own name in tools/:
build_identity (what a launcher was built for), update_key (the update key's C++ header, made at
build time) and release_check (a launcher checked against the root it is about to go to).
"""
