# bash completion of quyctl: commands, their options, and the names of the
# configured containers, profiles and registries.

# The element names under a configuration path, as `quyctl get` prints them.
_quyctl_names() {
  quyctl ${_quyctl_redis:+--redis "$_quyctl_redis"} get "$1" 2>/dev/null | grep -v '^ '
}

_quyctl() {
  local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD - 1]}
  local i words=() _quyctl_redis=
  for ((i = 1; i < COMP_CWORD; i++)); do
    case ${COMP_WORDS[i]} in
      --redis) _quyctl_redis=${COMP_WORDS[i + 1]}; ((i++)) ;;
      -*) ;;
      *) words+=("${COMP_WORDS[i]}") ;;
    esac
  done
  if [ ${#words[@]} -eq 0 ]; then
    COMPREPLY=($(compgen -W "daemon containerz vrf image registry container profile get set
      delete show logs wait help --redis --version --help" -- "$cur"))
    return
  fi
  case $prev in
    --profile) COMPREPLY=($(compgen -W "$(_quyctl_names quayd/container/profileConfig)" -- "$cur")); return ;;
    --state) COMPREPLY=($(compgen -W "containerStopped_ containerWaiting_ containerStartFailed_
      containerRunning_" -- "$cur")); return ;;
    --volume | -v | --tls-cert | --tls-key | --tls-ca | --authz-policy | --privilege-policy) COMPREPLY=($(compgen -f -- "$cur")); return ;;
  esac
  if [[ $cur == -* ]]; then
    local opts
    opts=$(quyctl "${words[@]:0:2}" --help 2>/dev/null | sed -nE 's/^ +(-[^ ]*).*/\1/p' | tr ',' '\n')
    COMPREPLY=($(compgen -W "$opts" -- "$cur"))
    return
  fi
  local names=
  case ${words[0]}:${#words[@]} in
    container:1 | logs:1 | wait:1) names=$(_quyctl_names quayd/container/config) ;;
    profile:1) names=$(_quyctl_names quayd/container/profileConfig) ;;
    registry:1) names=$(_quyctl_names quayd/registry/config) ;;
    daemon:1) names="enable disable" ;;
    image:1) names="load persistent-path" ;;
    show:1) names="containers container images registries containerz" ;;
    show:2) [ "${words[1]}" = container ] && names=$(_quyctl_names quayd/container/config) ;;
    help:*) names="daemon containerz vrf image registry container profile get set delete show logs wait" ;;
    image:2) COMPREPLY=($(compgen -f -- "$cur")); return ;;
  esac
  COMPREPLY=($(compgen -W "$names" -- "$cur"))
}
complete -F _quyctl quyctl
