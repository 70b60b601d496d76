# A strict checker for udev rules files, and a small evaluator of their
# match keys against a described device.
#
#   awk -f udev_rules.awk RULES
#       checks the syntax; prints nothing and exits 0 when it is sound,
#       prints "FILE:LINE: reason" for each fault and exits 1 otherwise.
#   awk -v devices=DESCRIPTION -v syspath=PATH -f udev_rules.awk RULES
#       also runs the rules for the "add" event of the device PATH and
#       prints its tags on one line: "tags: a b ...".
#
# DESCRIPTION lists devices the way umockdev records them: blocks of
# "P: /devices/...", "E: KEY=value" (properties; SUBSYSTEM, DRIVER and
# DEVTYPE among them) and "A: name=value" (sysfs attributes). The parents
# of a device are the described devices whose paths contain its own.
#
# Parent keys (KERNELS, SUBSYSTEMS, DRIVERS, ATTRS) all have to match on
# one and the same device of the chain, as in udev. A missing attribute
# fails both == and !=; a missing property counts as empty.

function fault(msg) {
    printf "%s:%d: %s\n", FILENAME, logical_start, msg
    faults++
}

function keyform(key) {
    # "attribute:operators", attribute being req, opt or no.
    if (key ~ /^(ACTION|DEVPATH|KERNEL|SUBSYSTEM|DRIVER|KERNELS|SUBSYSTEMS|DRIVERS|TAGS|RESULT|PROGRAM)$/)
        return "no:== !="
    if (key ~ /^(ATTRS|CONST)$/) return "req:== !="
    if (key == "TEST") return "opt:== !="
    if (key == "NAME") return "no:== != = :="
    if (key ~ /^(SYMLINK|TAG)$/) return "no:== != = += -= :="
    if (key == "ENV") return "req:== != = +="
    if (key ~ /^(ATTR|SYSCTL|IMPORT)$/) return "req:== != ="
    if (key == "RUN") return "opt:= += :="
    if (key ~ /^(OWNER|GROUP|MODE)$/) return "no:= :="
    if (key == "SECLABEL") return "req:= += :="
    if (key == "OPTIONS") return "no:= += :="
    if (key ~ /^(LABEL|GOTO)$/) return "no:="
    return ""
}

# Splits one logical line into pairs: pk[r,i], pa[r,i] (attribute or ""),
# po[r,i], pv[r,i]; np[r] is their count.
function parse(line, r,    s, key, attr, op, val, i, c, form, ops, has_assign) {
    s = line
    np[r] = 0
    has_assign = 0
    while (1) {
        if (!match(s, /^[A-Z_]+/)) { fault("expected a key at: " s); return 0 }
        key = substr(s, 1, RLENGTH); s = substr(s, RLENGTH + 1)
        attr = ""
        if (substr(s, 1, 1) == "{") {
            if (!match(s, /^\{[^{}" \t]+\}/)) { fault("bad {attribute} after " key); return 0 }
            attr = substr(s, 2, RLENGTH - 2); s = substr(s, RLENGTH + 1)
        }
        form = keyform(key)
        if (form == "") { fault("unknown key " key); return 0 }
        if (attr == "" && form ~ /^req:/) { fault(key " needs a {attribute}"); return 0 }
        if (attr != "" && form ~ /^no:/) { fault(key " takes no {attribute}"); return 0 }
        sub(/^[ \t]+/, "", s)
        if (!match(s, /^(==|!=|\+=|-=|:=|=)/)) { fault("expected an operator after " key); return 0 }
        op = substr(s, 1, RLENGTH); s = substr(s, RLENGTH + 1)
        ops = form; sub(/^[a-z]*:/, "", ops); ops = " " ops " "
        if (index(ops, " " op " ") == 0) { fault(key " does not take " op); return 0 }
        if (op != "==" && op != "!=" && key != "IMPORT") has_assign = 1
        sub(/^[ \t]+/, "", s)
        if (substr(s, 1, 1) != "\"") { fault("the value of " key " must be in double quotes"); return 0 }
        val = ""
        for (i = 2; i <= length(s); i++) {
            c = substr(s, i, 1)
            if (c == "\\" && substr(s, i + 1, 1) == "\"") { val = val "\""; i++; continue }
            if (c == "\"") break
            val = val c
        }
        if (i > length(s)) { fault("unterminated value of " key); return 0 }
        s = substr(s, i + 1)
        np[r]++
        pk[r, np[r]] = key; pa[r, np[r]] = attr; po[r, np[r]] = op; pv[r, np[r]] = val
        if (s ~ /^[ \t]*$/) break
        if (!match(s, /^[ \t]*,[ \t]*/)) { fault("expected a comma before: " s); return 0 }
        s = substr(s, RLENGTH + 1)
        if (s ~ /^[ \t]*$/) { fault("trailing comma"); return 0 }
    }
    if (!has_assign) { fault("the rule assigns nothing and has no effect"); return 0 }
    return 1
}

{
    raw = $0
    if (logical == "") logical_start = FNR
    if (raw ~ /\\$/) { logical = logical substr(raw, 1, length(raw) - 1); next }
    line = logical raw
    logical = ""
    sub(/^[ \t]+/, "", line)
    sub(/[ \t]+$/, "", line)
    if (line == "" || substr(line, 1, 1) == "#") next
    nrules++
    if (!parse(line, nrules)) { nrules--; next }
    for (i = 1; i <= np[nrules]; i++) {
        if (pk[nrules, i] == "LABEL") labels[pv[nrules, i]] = nrules
        if (pk[nrules, i] == "GOTO") gotos[pv[nrules, i]] = logical_start
    }
}

END {
    if (logical != "") { logical_start = FNR; fault("continuation at the end of the file") }
    for (l in gotos)
        if (!(l in labels)) { logical_start = gotos[l]; fault("GOTO to a missing LABEL " l) }
    if (faults) exit 1
    if (devices != "") evaluate()
}

# --- evaluation -------------------------------------------------------

function glob_re(p,    r, i, c, j, cls) {
    r = ""
    for (i = 1; i <= length(p); i++) {
        c = substr(p, i, 1)
        if (c == "*") r = r ".*"
        else if (c == "?") r = r "."
        else if (c == "[" && (j = index(substr(p, i + 1), "]")) > 0) {
            cls = substr(p, i + 1, j - 1)
            if (substr(cls, 1, 1) == "!") cls = "^" substr(cls, 2)
            r = r "[" cls "]"
            i += j
        }
        else if (index("\\^$.|()+{}[]/", c)) r = r "\\" c
        else r = r c
    }
    return "^" r "$"
}

function glob(value, pattern,    n, alt, i) {
    n = split(pattern, alt, "|")
    if (n == 0) return value == ""
    for (i = 1; i <= n; i++)
        if (value ~ glob_re(alt[i])) return 1
    return 0
}

# Whether pair i of rule r holds for a value; present=0 for a missing one.
function holds(r, i, present, value) {
    if (!present) return 0
    return glob(value, pv[r, i]) == (po[r, i] == "==")
}

function load_devices(    line, cur, k, v, eq) {
    ndev = 0
    while ((getline line < devices) > 0) {
        if (line ~ /^P: /) { cur = substr(line, 4); ndev++; dpath[ndev] = cur; didx[cur] = ndev; continue }
        if (line !~ /^[EA]: / || !ndev) continue
        eq = index(line, "=")
        k = substr(line, 4, eq - 4); v = substr(line, eq + 1)
        if (substr(line, 1, 1) == "E") denv[ndev, k] = v
        else { dattr[ndev, k] = v; dhas[ndev, k] = 1 }
    }
    close(devices)
}

function basename(p) { sub(/.*\//, "", p); return p }

function evaluate(    p, n, r, i, k, ok, lvl, all, t, kp, out, jump) {
    load_devices()
    if (!(syspath in didx)) { print "no device " syspath " in " devices; exit 2 }
    # chain[0] is the device, chain[1..] its described parents.
    n = 0
    for (p = syspath; p != ""; sub(/\/[^\/]*$/, "", p))
        if (p in didx) chain[n++] = didx[p]
    for (k in denv) { split(k, kp, SUBSEP); if (kp[1] == chain[0]) env[kp[2]] = denv[k] }

    for (r = 1; r <= nrules; r++) {
        if (jump != "") { if (labels[jump] == r) jump = ""; else continue }
        ok = 1
        for (i = 1; ok && i <= np[r]; i++) {
            k = pk[r, i]
            if (k == "IMPORT") { print "the evaluator cannot run IMPORT (rule " r ")"; exit 2 }
            if (po[r, i] != "==" && po[r, i] != "!=") continue
            if (k == "ACTION") ok = holds(r, i, 1, "add")
            else if (k == "KERNEL") ok = holds(r, i, 1, basename(dpath[chain[0]]))
            else if (k == "DEVPATH") ok = holds(r, i, 1, dpath[chain[0]])
            else if (k == "SUBSYSTEM") ok = holds(r, i, 1, denv[chain[0], "SUBSYSTEM"])
            else if (k == "DRIVER") ok = holds(r, i, 1, denv[chain[0], "DRIVER"])
            else if (k == "ATTR") ok = holds(r, i, dhas[chain[0], pa[r, i]], dattr[chain[0], pa[r, i]])
            else if (k == "ENV") ok = holds(r, i, 1, env[pa[r, i]])
            else if (k == "TAG") ok = (glob_any_tag(pv[r, i]) == (po[r, i] == "=="))
            else if (k !~ /^(KERNELS|SUBSYSTEMS|DRIVERS|ATTRS)$/) {
                print "the evaluator cannot run " k " (rule " r ")"; exit 2
            }
        }
        # The parent keys, together on one device of the chain.
        for (lvl = 0; ok && lvl < n; lvl++) {
            all = 1
            for (i = 1; all && i <= np[r]; i++) {
                k = pk[r, i]; t = chain[lvl]
                if (k == "KERNELS") all = holds(r, i, 1, basename(dpath[t]))
                else if (k == "SUBSYSTEMS") all = holds(r, i, 1, denv[t, "SUBSYSTEM"])
                else if (k == "DRIVERS") all = holds(r, i, 1, denv[t, "DRIVER"])
                else if (k == "ATTRS") all = holds(r, i, dhas[t, pa[r, i]], dattr[t, pa[r, i]])
            }
            if (all) break
        }
        if (!ok || lvl == n) continue
        for (i = 1; i <= np[r]; i++) {
            k = pk[r, i]
            if (k == "TAG" && po[r, i] != "==" && po[r, i] != "!=") {
                if (po[r, i] == "=" || po[r, i] == ":=") for (t in tags) delete tags[t]
                if (po[r, i] == "-=") delete tags[pv[r, i]]
                else tags[pv[r, i]] = 1
            }
            else if (k == "ENV" && po[r, i] == "=") env[pa[r, i]] = pv[r, i]
            else if (k == "GOTO") jump = pv[r, i]
        }
    }
    out = "tags:"
    for (t in tags) out = out " " t
    print out
}

function glob_any_tag(pattern,    t) {
    for (t in tags) if (glob(t, pattern)) return 1
    return 0
}
