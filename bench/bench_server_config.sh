# Sourced by the bench scripts: write_bench_config SERVER-DIR PORT writes the
# configuration of a kestrel-server working folder with one project "Bench"
# (root .\Projects\Bench) and one user "bench", password "bench", global key
# "bench-key", listening on 127.0.0.1:PORT.
write_bench_config() {
  local digest
  digest=$(python3 -c 'import hashlib; print(hashlib.md5(b"k7qz21mbench4tx88").hexdigest())')
  mkdir -p "$1/Config" "$1/Projects/Bench"
  cat >"$1/Config/KestrelServer.xml" <<EOF
<?xml version='1.0' encoding='UTF-8' ?>
<KestrelServer_Config><General><CustomerInstallation>true</CustomerInstallation>
<GlobalKey>bench-key</GlobalKey><LogLevel>Warning</LogLevel><LogUserActivity>false</LogUserActivity>
<ScanIntervallProjects>3600</ScanIntervallProjects><ScanIntervallUserrights>3600</ScanIntervallUserrights>
<TCPIPListenPort>$2</TCPIPListenPort></General>
<Project1><Projectname>Bench</Projectname><Rootpath>.\\Projects\\Bench</Rootpath>
<Group1><Groupname>Staff</Groupname></Group1>
<User1><Username>bench</Username><Realname>Bench</Realname><Password>$digest</Password>
<Useremail>bench@example.org</Useremail><Group1>Staff</Group1></User1></Project1></KestrelServer_Config>
EOF
}
