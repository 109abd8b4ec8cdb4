version=2
#
# Example rulebase: BSD-syslog lines of a Linux host (OpenSSH server, PAM,
# ftpd, klogind, udev, kernel, service start-up) plus structured payloads
# carried in syslog (CEF, Check Point LEA, iptables, key=value firewall logs,
# JSON and @cee, Cisco ASA connection lines).
#
# Every rule starts with the syslog header "MMM dd hh:mm:ss host " and a
# program part; field names follow the Elastic Common Schema where it has a
# name for the value, and use a custom namespace (pam., ssh., ftp., asa., ...)
# otherwise.

# ---------------------------------------------------------------- annotations
annotate=auth:+event.category="authentication"
annotate=session:+event.category="session"
annotate=net:+event.category="network"
annotate=host:+event.category="host"
annotate=proc:+event.category="process"
annotate=ids:+event.category="intrusion_detection"
annotate=web:+event.category="web"
annotate=fail:+event.outcome="failure"
annotate=ok:+event.outcome="success"

# ------------------------------------------------------------- rewrite tables
# PAM's "logname= uid=0 euid=0 tty=ssh ruser= rhost=... user=..." tail.
rewrite=pamkv:uid=user.id
rewrite=pamkv:euid=user.effective.id
rewrite=pamkv:tty=pam.tty
rewrite=pamkv:ruser=source.user.name
rewrite=pamkv:rhost=source.address
rewrite=pamkv:user=user.name
# key=value firewall logs.
rewrite=fwkv:devname=observer.name
rewrite=fwkv:srcip=source.ip
rewrite=fwkv:srcport=source.port
rewrite=fwkv:dstip=destination.ip
rewrite=fwkv:dstport=destination.port
rewrite=fwkv:proto=network.iana_number
rewrite=fwkv:action=event.action|lower
rewrite=fwkv:policyid=rule.id
rewrite=fwkv:msg=message
# CEF extensions.
rewrite=cefkv:src=source.ip
rewrite=cefkv:spt=source.port
rewrite=cefkv:dst=destination.ip
rewrite=cefkv:dpt=destination.port
rewrite=cefkv:proto=network.transport|lower
rewrite=cefkv:act=event.action|lower
rewrite=cefkv:suser=source.user.name
rewrite=cefkv:msg=message
# JSON application events.
rewrite=appjson:user.name=user.name
rewrite=appjson:client.ip=source.ip
rewrite=appjson:client.port=source.port
rewrite=appjson:action=event.action
rewrite=appjson:http.status=http.response.status_code

# ============================================================================
# Programs with a pid: "name[pid]: "
# ============================================================================
prefix=%@timestamp:date-rfc3164% %host.hostname:word% %process.name:char-to:[%[%process.pid:number%]: 

# --- OpenSSH server ----------------------------------------------------------
rule=auth,fail:Failed %ssh.method:word% for invalid user %user.name:string-to: from % from %source.ip:ipv4% port %source.port:number% %network.protocol:word%
rule=auth,fail:Failed %ssh.method:word% for %user.name:string-to: from % from %source.ip:ipv4% port %source.port:number% %network.protocol:word%
rule=auth,ok:Accepted %ssh.method:word% for %user.name:string-to: from % from %source.ip:ipv4% port %source.port:number% %network.protocol:word%
rule=auth,fail:message repeated %ssh.repeated:number% times: [ Failed %ssh.method:word% for %user.name:string-to: from % from %source.ip:ipv4% port %source.port:number% %network.protocol:char-to:]%]
rule=auth,fail:Invalid user %user.name:string-to: from % from %source.ip:ipv4%
rule=auth,fail:input_userauth_request: invalid user %user.name:string-to: [preauth]% [preauth]
rule=auth,fail:Disconnecting: Too many authentication failures for %user.name:string-to: [preauth]% [preauth]
rule=net:Received disconnect from %source.ip:ipv4%: %event.code:number%: %event.reason:string-to: [preauth]% [preauth]
rule=net:Received disconnect from %source.ip:ipv4%: %event.code:number%: %event.reason:rest%
rule=net,fail:error: Received disconnect from %source.ip:ipv4%: %event.code:number%: %event.reason:string-to: [preauth]% [preauth]
rule=net:Connection closed by %source.ip:ipv4% [preauth]
rule=net,fail:Did not receive identification string from %source.ip:ipv4%
rule=net,fail:fatal: %error.message:string-to: [preauth]% [preauth]
rule=ids,fail:reverse mapping checking getaddrinfo for %source.domain:word% [%source.ip:ipv4%] failed - POSSIBLE BREAK-IN ATTEMPT!
rule=auth,fail:PAM service(%service.name:char-to:)%) ignoring max retries; %pam.retries:number% > %pam.max_retries:number%
rule=auth,fail,pamkv:PAM %pam.failures:number% more authentication failures; %.:name-value-list%
rule=auth,fail,pamkv:PAM %pam.failures:number% more authentication failure; %.:name-value-list%
rule=auth,fail,pamkv:pam_unix(%service.name:char-to::%:auth): authentication failure; %.:name-value-list%
rule=auth,fail:pam_unix(%service.name:char-to::%:auth): check pass; user unknown
rule=session,ok:pam_unix(%service.name:char-to::%:session): session opened for user %user.name:word% by (uid=%process.user.id:number%)
rule=session:pam_unix(%service.name:char-to::%:session): session closed for user %user.name:word%

# --- ftpd ---------------------------------------------------------------------
rule=net:connection from %source.ip:ipv4% (%source.domain:char-sep:)%) at %-:word% %event.start:date-rfc3164% %-:number% 
rule=auth,ok:ANONYMOUS FTP LOGIN FROM %source.ip:ipv4%,  (%user.name:char-to:)%)
rule=net,fail:getpeername (%-:char-to:)%): %error.message:rest%
rule=session,fail:User %user.name:word% timed out after %ftp.idle_seconds:number% seconds at %-:word% %event.end:date-rfc3164% %-:number% 

# --- klogind, gdm, xinetd, snmpd ------------------------------------------------
rule=auth,fail:Authentication failed from %source.ip:ipv4% (%source.address:char-to:)%): %error.message:rest%
rule=auth,fail:Kerberos authentication failed%-:rest%
rule=auth,fail:Couldn't authenticate user
rule=net,fail:warning: can't get client address: %error.message:rest%
rule=net:Received SNMP packet(s) from %source.ip:ipv4%%-:rest%

# --- daemons starting, devices --------------------------------------------------
rule=proc:HCI daemon ver %service.version:word% started
rule=proc:%service.name:word% v%service.version:word% started%-:rest%
rule=proc:Version %service.version:word% Starting
rule=host:notify question section contains no SOA
rule=host:removing device node '%file.path:char-to:'%'
rule=host:creating device node '%file.path:char-to:'%'
rule=host:*** %log.level:word% [%log.origin.file.name:char-to:(%(%log.origin.file.line:number%)]: 
rule=host:%-:word% Auto-detected %message:rest%

# --- JSON application events (keys renamed through appjson) --------------------
rule=web,appjson:%.:json%
rule=web:%.:cee-syslog%

# --- resolver answers: a list of addresses ---------------------------------------
rule=net:answers %dns.resolved_ip:repeat{"parser":{"type":"ipv4","name":"."},"while":{"type":"literal","text":", "}}%

# ============================================================================
# PAM modules logging through their service: "service(pam_unix)[pid]: "
# ============================================================================
prefix=%@timestamp:date-rfc3164% %host.hostname:word% %process.name:char-to:(%(%pam.module:char-to:)%)[%process.pid:number%]: 

rule=auth,fail,pamkv:authentication failure; %.:name-value-list%
rule=auth,fail:check pass; user unknown
rule=session,ok:session opened for user %user.name:word% by (uid=%process.user.id:number%)
rule=session,ok:session opened for user %user.name:word% by %process.parent.name:char-to:(%(uid=%process.user.id:number%)
rule=session:session closed for user %user.name:word%

# ============================================================================
# Programs without a pid: "name: " (tried after the forms above)
# ============================================================================
prefix=%@timestamp:date-rfc3164% %host.hostname:word% %process.name:char-to{"priority":30001}::%: 

rule=proc:%service.name:word% startup succeeded
rule=proc:%service.name:word% shutdown succeeded
rule=proc:%message:string-to::  succeeded%:  succeeded%-:rest%
rule=proc,fail:ALERT exited abnormally with [%process.exit_code:number%]
rule=host:%sysctl.key:word% = %sysctl.value:word% 
rule=fwkv,net:%.:name-value-list%

# ============================================================================
# Headers with a fixed program text
# ============================================================================
prefix=%@timestamp:date-rfc3164% %host.hostname:word% 

# "syslogd 1.4.1: restart."
rule=proc:%process.name:word% %service.version:char-to::%: restart.
# " -- root[2421]: ROOT LOGIN ON tty2"
rule=auth,ok: -- %user.name:char-to:[%[%process.pid:number%]: ROOT LOGIN ON %pam.tty:word%
# Netfilter log lines, then every other kernel message.
rule=net:%process.name:literal{"text":"kernel"}%: %-:kernel-timestamp% %iptables.prefix:char-to::%: %iptables.fields:v2-iptables%
rule=host:%process.name:literal{"text":"kernel"}%: %message:rest%
# CEF records (extension keys renamed through cefkv).
rule=ids,cefkv:%cef.record:cef%
# Check Point LEA records.
rule=net:%process.name:literal{"text":"lea"}%: %checkpoint.lea:checkpoint-lea%
# Cisco ASA connection set-up and tear-down.
rule=net:%%ASA-%asa.severity:number%-%event.code:number%: Built %network.direction:word% %network.transport:word% connection %asa.connection_id:number% for %asa.src:cisco-interface-spec% to %asa.dst:cisco-interface-spec%
rule=net:%%ASA-%asa.severity:number%-%event.code:number%: Teardown %network.transport:word% connection %asa.connection_id:number% for %asa.src:cisco-interface-spec% to %asa.dst:cisco-interface-spec% duration %asa.duration:duration% bytes %network.bytes:number% %event.reason:rest%
