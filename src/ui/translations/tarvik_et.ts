<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="et" sourcelanguage="en">
<context>
    <name>QObject</name>
    <message>
        <source>Close</source>
        <translation>Sulge</translation>
    </message>
</context>
<context>
    <name>QPlatformTheme</name>
    <message>
        <source>OK</source>
        <translation>OK</translation>
    </message>
    <message>
        <source>&amp;OK</source>
        <translation>&amp;OK</translation>
    </message>
    <message>
        <source>Cancel</source>
        <translation>Loobu</translation>
    </message>
    <message>
        <source>&amp;Cancel</source>
        <translation>&amp;Loobu</translation>
    </message>
    <message>
        <source>Close</source>
        <translation>Sulge</translation>
    </message>
    <message>
        <source>&amp;Close</source>
        <translation>&amp;Sulge</translation>
    </message>
</context>
<context>
    <name>tarvik::CAlertPanel</name>
    <message>
        <source>1 older alert was dropped from this list.</source>
        <translation>1 vanem hoiatus eemaldati sellest loendist.</translation>
    </message>
    <message>
        <source>%1 older alerts were dropped from this list.</source>
        <translation>%1 vanemat hoiatust eemaldati sellest loendist.</translation>
    </message>
</context>
<context>
    <name>tarvik::CAlertTableModel</name>
    <message>
        <source>Time</source>
        <translation>Aeg</translation>
    </message>
    <message>
        <source>Host</source>
        <translation>Host</translation>
    </message>
    <message>
        <source>Ports</source>
        <translation>Pordid</translation>
    </message>
    <message>
        <source>Kind</source>
        <translation>Liik</translation>
    </message>
</context>
<context>
    <name>tarvik::CEmailEntryDlg</name>
    <message>
        <source>Email Address Entry</source>
        <translation>E-posti aadressi sisestamine</translation>
    </message>
    <message>
        <source>Enter an email address:</source>
        <translation>Sisestage e-posti aadress:</translation>
    </message>
</context>
<context>
    <name>tarvik::CIPAddressEntryDlg</name>
    <message>
        <source>IP Address Entry</source>
        <translation>IP-aadressi sisestamine</translation>
    </message>
    <message>
        <source>Enter an IP Address:</source>
        <translation>Sisestage IP-aadress:</translation>
    </message>
    <message>
        <source>Please enter an IPv4 or IPv6 address, or a range such as 192.168.0.0/16</source>
        <translation>Sisestage IPv4- või IPv6-aadress või vahemik, näiteks 192.168.0.0/16</translation>
    </message>
</context>
<context>
    <name>tarvik::CInterfaceFilterBar</name>
    <message>
        <source>Network Interface:</source>
        <translation>Võrguliides:</translation>
    </message>
    <message>
        <source>Search:</source>
        <translation>Otsing:</translation>
    </message>
    <message>
        <source>Filter rows (Ctrl+F)</source>
        <translation>Filtreeri ridu (Ctrl+F)</translation>
    </message>
    <message>
        <source>( Show All )</source>
        <translation>( Näita kõiki )</translation>
    </message>
</context>
<context>
    <name>tarvik::CListEditor</name>
    <message>
        <source>Add</source>
        <translation>Lisa</translation>
    </message>
    <message>
        <source>Remove</source>
        <translation>Eemalda</translation>
    </message>
</context>
<context>
    <name>tarvik::CLoggingOptionsDlg</name>
    <message>
        <source>Logging Options</source>
        <translation>Logimise seaded</translation>
    </message>
    <message>
        <source>Inbound</source>
        <translation>Sissetulevad</translation>
    </message>
    <message>
        <source>Outbound</source>
        <translation>Väljaminevad</translation>
    </message>
    <message>
        <source>Unknown</source>
        <translation>Tundmatud</translation>
    </message>
    <message>
        <source>Log Inbound Connections</source>
        <translation>Logi sissetulevad ühendused</translation>
    </message>
    <message>
        <source>Log Outbound Connections</source>
        <translation>Logi väljaminevad ühendused</translation>
    </message>
    <message>
        <source>Log Unknown Connections</source>
        <translation>Logi tundmatud ühendused</translation>
    </message>
</context>
<context>
    <name>tarvik::CLoggingPage</name>
    <message>
        <source>Log All Connections</source>
        <translation>Logi kõik ühendused</translation>
    </message>
    <message>
        <source>Log All Connections Except Specified Ports</source>
        <translation>Logi kõik ühendused peale loetletud portide</translation>
    </message>
    <message>
        <source>Only on Specified Ports</source>
        <translation>Ainult loetletud portidel</translation>
    </message>
    <message>
        <source>Which Connections Should be Logged?</source>
        <translation>Milliseid ühendusi logida?</translation>
    </message>
    <message>
        <source>Browse</source>
        <translation>Sirvi</translation>
    </message>
    <message>
        <source>Daily</source>
        <translation>Iga päev</translation>
    </message>
    <message>
        <source>Weekly</source>
        <translation>Iga nädal</translation>
    </message>
    <message>
        <source>Monthly</source>
        <translation>Iga kuu</translation>
    </message>
    <message>
        <source>Folder to Store Files:</source>
        <translation>Failide kaust:</translation>
    </message>
    <message>
        <source>Rotate Logfile:</source>
        <translation>Logifaili vahetus:</translation>
    </message>
    <message>
        <source>Select a folder in which to store the logfiles:</source>
        <translation>Valige kaust, kuhu logifailid salvestada:</translation>
    </message>
</context>
<context>
    <name>tarvik::CMainFrame</name>
    <message>
        <source>Network Interface</source>
        <translation>Võrguliides</translation>
    </message>
    <message>
        <source>Scan Alerts</source>
        <translation>Skannimishoiatused</translation>
    </message>
    <message>
        <source>Scan &amp;Alerts</source>
        <translation>Skannimis&amp;hoiatused</translation>
    </message>
    <message>
        <source>Show the scan alerts of this session, newest first</source>
        <translation>Näita selle seansi skannimishoiatusi, uusimad eespool</translation>
    </message>
    <message>
        <source>1 scan alert</source>
        <translation>1 skannimishoiatus</translation>
    </message>
    <message>
        <source>%1 scan alerts</source>
        <translation>%1 skannimishoiatust</translation>
    </message>
    <message>
        <source>&amp;File</source>
        <translation>&amp;Fail</translation>
    </message>
    <message>
        <source>&amp;Quit</source>
        <translation>&amp;Välju</translation>
    </message>
    <message>
        <source>Stop monitoring and close Tarvik</source>
        <translation>Lõpeta jälgimine ja sulge Tarvik</translation>
    </message>
    <message>
        <source>&amp;Edit</source>
        <translation>&amp;Redigeeri</translation>
    </message>
    <message>
        <source>&amp;Find</source>
        <translation>&amp;Otsi</translation>
    </message>
    <message>
        <source>Show only the rows that contain a text</source>
        <translation>Näita ainult teksti sisaldavaid ridu</translation>
    </message>
    <message>
        <source>&amp;Refresh Now</source>
        <translation>Värskenda &amp;nüüd</translation>
    </message>
    <message>
        <source>Read the connection table now</source>
        <translation>Loe ühenduste tabel kohe</translation>
    </message>
    <message>
        <source>&amp;Help</source>
        <translation>&amp;Abi</translation>
    </message>
    <message>
        <source>&amp;About Tarvik…</source>
        <translation>&amp;Teave rakenduse Tarvik kohta…</translation>
    </message>
    <message>
        <source>How connections are read</source>
        <translation>Kuidas ühendusi loetakse</translation>
    </message>
    <message>
        <source>Show the scan alerts of this session</source>
        <translation>Näita selle seansi skannimishoiatusi</translation>
    </message>
    <message>
        <source>1 connection</source>
        <translation>1 ühendus</translation>
    </message>
    <message>
        <source>%1 connections</source>
        <translation>%1 ühendust</translation>
    </message>
    <message>
        <source> of %1</source>
        <translation> (kokku %1)</translation>
    </message>
    <message>
        <source>About Tarvik</source>
        <translation>Teave rakenduse Tarvik kohta</translation>
    </message>
    <message>
        <source>Shows the machine&apos;s TCP connections and listening ports, logs the connections that end and warns of port scans.</source>
        <translation>Näitab arvuti TCP-ühendusi ja kuulavaid porte, logib lõppenud ühendused ja hoiatab pordiskannimise eest.</translation>
    </message>
    <message>
        <source>Licence: GPL-3.0-or-later</source>
        <translation>Litsents: GPL-3.0-or-later</translation>
    </message>
    <message>
        <source>OK</source>
        <translation>OK</translation>
    </message>
</context>
<context>
    <name>tarvik::CPortEntryDlg</name>
    <message>
        <source>Port Entry</source>
        <translation>Pordi sisestamine</translation>
    </message>
    <message>
        <source>Enter a Port:</source>
        <translation>Sisestage port:</translation>
    </message>
    <message>
        <source>Please enter a number from 1 to 65535</source>
        <translation>Sisestage arv vahemikus 1 kuni 65535</translation>
    </message>
</context>
<context>
    <name>tarvik::CScanOptionsDlg</name>
    <message>
        <source>Tarvik has the ability to listen for connections on additional unused ports.  This can help to detect scanners more quickly.  Please note that when Tarvik is listening on these ports, other applications cannot.  Be sure to start any server applications before activating this feature and deactivate this feature before starting any new server applications.</source>
        <translation>Tarvik saab kuulata ühendusi täiendavatel kasutamata portidel. See aitab skannereid kiiremini avastada. Pange tähele, et kui Tarvik neil portidel kuulab, ei saa teised rakendused neid kasutada. Käivitage serverirakendused enne selle funktsiooni sisselülitamist ja lülitage funktsioon välja enne uute serverirakenduste käivitamist.</translation>
    </message>
    <message>
        <source>Port Scan Detection Options</source>
        <translation>Pordiskannimise tuvastuse seaded</translation>
    </message>
    <message>
        <source>Enable Port Scan Detection</source>
        <translation>Lülita pordiskannimise tuvastus sisse</translation>
    </message>
    <message>
        <source>Detection Options</source>
        <translation>Tuvastus</translation>
    </message>
    <message>
        <source>Attack Notification and Response</source>
        <translation>Rünnakust teavitamine ja reageerimine</translation>
    </message>
    <message>
        <source>Trigger an alert after</source>
        <translation>Anna hoiatus pärast</translation>
    </message>
    <message>
        <source>unique connections.</source>
        <translation>erinevat ühendust.</translation>
    </message>
    <message>
        <source>Add any hosts which may trigger a scan alert but you know to be friendly.  Removing the default addresses is not recommended.</source>
        <translation>Lisage hostid, mis võivad skannimishoiatuse anda, kuid mida teate olevat sõbralikud. Vaikimisi aadresside eemaldamine ei ole soovitatav.</translation>
    </message>
    <message>
        <source>Ignore connections from the following IP addresses:</source>
        <translation>Eira ühendusi järgmistelt IP-aadressidelt:</translation>
    </message>
    <message>
        <source>Listen for connections on additional ports</source>
        <translation>Kuula ühendusi täiendavatel portidel</translation>
    </message>
    <message>
        <source>Add to or remove from the list of ports Tarvik will listen on.  The default settings should be sufficient for most purposes.</source>
        <translation>Lisage või eemaldage porte, millel Tarvik kuulab. Vaikeseadetest piisab enamasti.</translation>
    </message>
    <message>
        <source>Log to the system log</source>
        <translation>Kirjuta süsteemilogisse</translation>
    </message>
    <message>
        <source>Send Alert Email</source>
        <translation>Saada hoiatus e-postiga</translation>
    </message>
    <message>
        <source>When selected, Tarvik will log all suspected scan attempts to the system log.</source>
        <translation>Kui see on valitud, kirjutab Tarvik kõik kahtlustatud skannimiskatsed süsteemilogisse.</translation>
    </message>
    <message>
        <source>An alert email will be sent to the recipients specified:</source>
        <translation>Hoiatuskiri saadetakse neile saajatele:</translation>
    </message>
    <message>
        <source>Outgoing Mail Server (SMTP) to use to send the alert email:</source>
        <translation>Väljuva posti server (SMTP) hoiatuskirja saatmiseks:</translation>
    </message>
    <message>
        <source>Please enter an integer.</source>
        <translation>Sisestage täisarv.</translation>
    </message>
</context>
<context>
    <name>tarvik::CSystemTray</name>
    <message>
        <source>&amp;About</source>
        <translation>&amp;Teave</translation>
    </message>
    <message>
        <source>E&amp;xit</source>
        <translation>&amp;Välju</translation>
    </message>
    <message>
        <source>1 more message not shown.</source>
        <translation>1 teadet veel ei näidata.</translation>
    </message>
    <message>
        <source>%1 more messages not shown.</source>
        <translation>%1 teadet veel ei näidata.</translation>
    </message>
</context>
<context>
    <name>tarvik::CTarvikView</name>
    <message>
        <source>This window shows the connections of tarvikd, which logs and watches for scans with its own settings. To change them, root edits tarvikd&apos;s settings file and runs &quot;tarvikctl reload&quot;. The values below are this window&apos;s own, unused while it is attached.</source>
        <translation>See aken näitab tarvikd ühendusi; tarvikd logib ja jälgib skannimist oma seadetega. Nende muutmiseks muudab root tarvikd seadetefaili ja käivitab „tarvikctl reload“. Allolevad väärtused on selle akna omad ega ole ühenduse ajal kasutusel.</translation>
    </message>
    <message>
        <source>Copy &amp;row</source>
        <translation>Kopeeri &amp;rida</translation>
    </message>
    <message>
        <source>Copy the selected row&apos;s cells, separated by tabs</source>
        <translation>Kopeeri valitud rea lahtrid tabeldusmärkidega eraldatult</translation>
    </message>
    <message>
        <source>&amp;View</source>
        <translation>&amp;Vaade</translation>
    </message>
    <message>
        <source>&amp;DNS Lookups Enabled</source>
        <translation>&amp;DNS-päringud sees</translation>
    </message>
    <message>
        <source>Enable Reverse DNS Lookup of Hostnames</source>
        <translation>Leia hostinimed DNS-i pöördpäringuga</translation>
    </message>
    <message>
        <source>Show &amp;Listening Ports</source>
        <translation>Näita &amp;kuulavaid porte</translation>
    </message>
    <message>
        <source>Show ports listening for connections</source>
        <translation>Näita porte, mis kuulavad ühendusi</translation>
    </message>
    <message>
        <source>Show &amp;Inbound Connections</source>
        <translation>Näita &amp;sissetulevaid ühendusi</translation>
    </message>
    <message>
        <source>Show inbound connections to this computer</source>
        <translation>Näita sellesse arvutisse tulevaid ühendusi</translation>
    </message>
    <message>
        <source>Show &amp;Outbound Connections</source>
        <translation>Näita &amp;väljaminevaid ühendusi</translation>
    </message>
    <message>
        <source>Show outbound connections from this computer</source>
        <translation>Näita sellest arvutist väljuvaid ühendusi</translation>
    </message>
    <message>
        <source>Show &amp;Unknown Connections</source>
        <translation>Näita &amp;tundmatuid ühendusi</translation>
    </message>
    <message>
        <source>Show connections that were not recognized</source>
        <translation>Näita ühendusi, mida ei tuvastatud</translation>
    </message>
    <message>
        <source>&amp;Options</source>
        <translation>&amp;Seaded</translation>
    </message>
    <message>
        <source>&amp;Logging…</source>
        <translation>&amp;Logimine…</translation>
    </message>
    <message>
        <source>Port &amp;Scan Detection…</source>
        <translation>Pordi&amp;skannimise tuvastus…</translation>
    </message>
    <message>
        <source>Copy &amp;Hostname</source>
        <translation>Kopeeri &amp;hostinimi</translation>
    </message>
    <message>
        <source>Copy IP &amp;Address</source>
        <translation>Kopeeri IP-&amp;aadress</translation>
    </message>
</context>
<context>
    <name>tarvik::Column</name>
    <message>
        <source>Hostname</source>
        <translation>Hostinimi</translation>
    </message>
    <message>
        <source>IP Address</source>
        <translation>IP-aadress</translation>
    </message>
    <message>
        <source>Local Port</source>
        <translation>Kohalik port</translation>
    </message>
    <message>
        <source>Remote Port</source>
        <translation>Kaugport</translation>
    </message>
    <message>
        <source>Service Type</source>
        <translation>Teenus</translation>
    </message>
    <message>
        <source>Interface</source>
        <translation>Liides</translation>
    </message>
    <message>
        <source>Connection State</source>
        <translation>Ühenduse olek</translation>
    </message>
    <message>
        <source>Process</source>
        <translation>Protsess</translation>
    </message>
    <message>
        <source>Sent</source>
        <translation>Saadetud</translation>
    </message>
    <message>
        <source>Received</source>
        <translation>Vastuvõetud</translation>
    </message>
    <message>
        <source>Rate</source>
        <translation>Kiirus</translation>
    </message>
    <message>
        <source>Protocol</source>
        <translation>Protokoll</translation>
    </message>
</context>
<context>
    <name>tarvik::OptionsCommon</name>
    <message>
        <source>The settings could not be saved to %1: %2</source>
        <translation>Seadeid ei saanud salvestada faili %1: %2</translation>
    </message>
</context>
</TS>
